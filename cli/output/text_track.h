// The subtitle stream that holds the text read from the burnt-in subtitles (--ocr): a stream of
// its own after those the output keeps, in the text format the container holds (SubRip in
// Matroska, timed text in MP4, WebVTT in WebM), coded cue by cue by FFmpeg's own text encoders.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <string>
#include <vector>

#include "cli/av_util.h"
#include "cli/ocr/timed_cue.h"

class TextTrack {
public:
    // The text format `format` holds for a new stream, or AV_CODEC_ID_NONE when it holds none.
    static AVCodecID CodecFor(const AVOutputFormat *format);
    // Adds the stream to `format`, after those it has, and opens its encoder. Cues come in
    // `timeBase`. Throws HostError when the encoder cannot be opened.
    TextTrack(AVFormatContext *format, AVCodecID codec, AVRational timeBase);
    ~TextTrack();
    TextTrack(const TextTrack &) = delete;
    TextTrack &operator=(const TextTrack &) = delete;

    // The stream's language tag (ISO 639-2), before the header is written.
    void SetLanguage(const std::string &tag);
    // `cue` as a packet of the stream, in the stream's time base; null for a cue without text,
    // which shows nothing.
    PacketPtr Encode(const TimedCue &cue);
    const AVStream *stream() const { return stream_; }

private:
    void Open(AVFormatContext *format, AVCodecID codec);

    AVStream *stream_ = nullptr;
    AVCodecContext *encoder_ = nullptr;
    AVRational timeBase_;
    std::vector<uint8_t> buffer_;
};

// A cue's text as the "Text" field of an ASS event, the form FFmpeg's text encoders take: lines
// joined by \N, and backslashes, which would start an ASS code, as the like-looking U+29F5.
std::string AssEventText(const std::string &text);
