// The --ocr subtitle stream (see text_track.h).
#include "cli/output/text_track.h"

extern "C" {
#include <libavutil/mem.h>
}

#include <cstring>

#include "cli/errors.h"

namespace {

// The largest cue one packet carries, as for the converted streams.
constexpr size_t kCueBytes = size_t(1) << 20;

// SubRip first: plain text, as the cues are, and the text format players read most widely.
constexpr AVCodecID kCodecs[] = {AV_CODEC_ID_SUBRIP, AV_CODEC_ID_MOV_TEXT, AV_CODEC_ID_WEBVTT, AV_CODEC_ID_ASS};

// The ASS header FFmpeg's text encoders start from (libavcodec's own default, which it does not
// export): one plain style, "Default".
const char kAssHeader[] =
    "[Script Info]\r\nScriptType: v4.00+\r\nPlayResX: 384\r\nPlayResY: 288\r\nScaledBorderAndShadow: yes\r\n\r\n"
    "[V4+ Styles]\r\n"
    "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, Underline, "
    "StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\r\n"
    "Style: Default,Arial,16,&Hffffff,&Hffffff,&H0,&H0,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,1\r\n\r\n"
    "[Events]\r\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\r\n";

}  // namespace

std::string AssEventText(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += "\\N";
        else if (c == '\\') out += "\xE2\xA7\xB5";
        else out += c;
    }
    return out;
}

AVCodecID TextTrack::CodecFor(const AVOutputFormat *format) {
    for (AVCodecID codec : kCodecs)
        if (avformat_query_codec(format, codec, FF_COMPLIANCE_NORMAL) == 1 && avcodec_find_encoder(codec)) return codec;
    return AV_CODEC_ID_NONE;
}

TextTrack::TextTrack(AVFormatContext *format, AVCodecID codec, AVRational timeBase) : timeBase_(timeBase), buffer_(kCueBytes) {
    // A throwing constructor runs no destructor: free the encoder by hand.
    try {
        Open(format, codec);
    } catch (...) {
        avcodec_free_context(&encoder_);
        throw;
    }
}

void TextTrack::Open(AVFormatContext *format, AVCodecID codec) {
    const AVCodec *encoder = avcodec_find_encoder(codec);
    encoder_ = avcodec_alloc_context3(encoder);
    stream_ = avformat_new_stream(format, nullptr);
    if (!encoder_ || !stream_) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    encoder_->subtitle_header = static_cast<uint8_t *>(av_mallocz(sizeof(kAssHeader)));
    if (!encoder_->subtitle_header) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    std::memcpy(encoder_->subtitle_header, kAssHeader, sizeof(kAssHeader));
    encoder_->subtitle_header_size = (int)sizeof(kAssHeader) - 1;
    encoder_->time_base = AVRational{1, 1000};
    const std::string what = std::string("cannot set up the ") + encoder->name + " stream of the subtitles' text";
    CheckAv(avcodec_open2(encoder_, encoder, nullptr), what);
    CheckAv(avcodec_parameters_from_context(stream_->codecpar, encoder_), what);
    stream_->time_base = AVRational{1, 1000};
}

TextTrack::~TextTrack() { avcodec_free_context(&encoder_); }

void TextTrack::SetLanguage(const std::string &tag) { av_dict_set(&stream_->metadata, "language", tag.c_str(), 0); }

PacketPtr TextTrack::Encode(const TimedCue &cue) {
    if (cue.text.empty()) return nullptr;
    const std::string event = "0,0,Default,,0,0,0,," + AssEventText(cue.text);
    AVSubtitleRect rect{};
    rect.type = SUBTITLE_ASS;
    rect.ass = const_cast<char *>(event.c_str());
    AVSubtitleRect *rects[] = {&rect};
    AVSubtitle subtitle{};
    subtitle.num_rects = 1;
    subtitle.rects = rects;
    subtitle.pts = av_rescale_q(cue.start, timeBase_, AV_TIME_BASE_Q);
    subtitle.end_display_time = (uint32_t)av_rescale_q(cue.end - cue.start, timeBase_, AVRational{1, 1000});
    const int size = avcodec_encode_subtitle(encoder_, buffer_.data(), (int)buffer_.size(), &subtitle);
    if (size < 0) throw HostError(EXIT_FAILURE_RUN, "cannot code a cue of the subtitles' text: " + AvError(size));
    if (size == 0) return nullptr;
    PacketPtr packet(av_packet_alloc());
    if (!packet) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    CheckAv(av_new_packet(packet.get(), size), "cannot code a cue of the subtitles' text");
    std::memcpy(packet->data, buffer_.data(), (size_t)size);
    packet->stream_index = stream_->index;
    packet->pts = packet->dts = av_rescale_q(cue.start, timeBase_, stream_->time_base);
    packet->duration = av_rescale_q(cue.end, timeBase_, stream_->time_base) - packet->pts;
    packet->flags |= AV_PKT_FLAG_KEY;
    return packet;
}
