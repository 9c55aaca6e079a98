// Converting a soft text subtitle stream (SRT, ASS, WebVTT, MP4 timed text) into a text format the
// output container holds: mov_text for MP4, ASS for Matroska. Decoded and coded again by FFmpeg's
// own text decoders and encoders, each cue at its own time.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <vector>

class TextSubtitleConverter {
public:
    // The text format the output can hold `in` as, or AV_CODEC_ID_NONE when it cannot be converted.
    static AVCodecID TargetFor(const AVCodecParameters *in, const AVOutputFormat *format);
    // Opens the decoder and encoder and sets `out`'s parameters; throws HostError when they fail.
    TextSubtitleConverter(const AVStream *in, AVStream *out, AVCodecID target);
    ~TextSubtitleConverter();
    TextSubtitleConverter(const TextSubtitleConverter &) = delete;
    TextSubtitleConverter &operator=(const TextSubtitleConverter &) = delete;

    // Codes `packet`'s cue in the new format, in place, with its own timing; false when it holds
    // no text to write.
    bool Convert(AVPacket *packet);

private:
    void Open(const AVStream *in, AVStream *out, AVCodecID target);
    void Release();

    AVCodecContext *decoder_ = nullptr;
    AVCodecContext *encoder_ = nullptr;
    std::vector<uint8_t> buffer_;
};
