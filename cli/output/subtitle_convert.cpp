// Text subtitle conversion (see subtitle_convert.h).
#include "cli/output/subtitle_convert.h"

extern "C" {
#include <libavutil/mem.h>
}

#include <cstring>
#include <string>

#include "cli/av_util.h"
#include "cli/errors.h"

namespace {

// The largest cue one packet carries; ffmpeg's own tool uses the same bound.
constexpr size_t kCueBytes = size_t(1) << 20;

// Timed text first (the only one MP4 holds), then ASS, which keeps the most of any styling.
constexpr AVCodecID kTargets[] = {AV_CODEC_ID_MOV_TEXT, AV_CODEC_ID_ASS, AV_CODEC_ID_SUBRIP, AV_CODEC_ID_WEBVTT};

}  // namespace

AVCodecID TextSubtitleConverter::TargetFor(const AVCodecParameters *in, const AVOutputFormat *format) {
    const AVCodecDescriptor *d = avcodec_descriptor_get(in->codec_id);
    if (!d || !(d->props & AV_CODEC_PROP_TEXT_SUB) || !avcodec_find_decoder(in->codec_id)) return AV_CODEC_ID_NONE;
    for (AVCodecID target : kTargets) {
        if (avformat_query_codec(format, target, FF_COMPLIANCE_NORMAL) == 1 && avcodec_find_encoder(target)) return target;
    }
    return AV_CODEC_ID_NONE;
}

TextSubtitleConverter::TextSubtitleConverter(const AVStream *in, AVStream *out, AVCodecID target) : buffer_(kCueBytes) {
    // A throwing constructor runs no destructor: release what was opened so far by hand.
    try {
        Open(in, out, target);
    } catch (...) {
        Release();
        throw;
    }
}

TextSubtitleConverter::~TextSubtitleConverter() { Release(); }

void TextSubtitleConverter::Release() {
    avcodec_free_context(&encoder_);
    avcodec_free_context(&decoder_);
}

void TextSubtitleConverter::Open(const AVStream *in, AVStream *out, AVCodecID target) {
    const AVCodec *decoder = avcodec_find_decoder(in->codecpar->codec_id);
    const AVCodec *encoder = avcodec_find_encoder(target);
    decoder_ = avcodec_alloc_context3(decoder);
    encoder_ = avcodec_alloc_context3(encoder);
    if (!decoder_ || !encoder_) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    const std::string what = std::string("cannot convert the ") + decoder->name + " subtitles of stream " +
                             std::to_string(in->index) + " to " + encoder->name;
    CheckAv(avcodec_parameters_to_context(decoder_, in->codecpar), what);
    decoder_->pkt_timebase = in->time_base;
    CheckAv(avcodec_open2(decoder_, decoder, nullptr), what);
    // The styles the cues refer to: the decoder's ASS header, which every text encoder starts from.
    if (decoder_->subtitle_header) {
        encoder_->subtitle_header = static_cast<uint8_t *>(av_mallocz(decoder_->subtitle_header_size + 1));
        if (!encoder_->subtitle_header) throw HostError(EXIT_FAILURE_RUN, "out of memory");
        std::memcpy(encoder_->subtitle_header, decoder_->subtitle_header, decoder_->subtitle_header_size);
        encoder_->subtitle_header_size = decoder_->subtitle_header_size;
    }
    encoder_->time_base = in->time_base;
    CheckAv(avcodec_open2(encoder_, encoder, nullptr), what);
    CheckAv(avcodec_parameters_from_context(out->codecpar, encoder_), what);
    out->time_base = in->time_base;
}

bool TextSubtitleConverter::Convert(AVPacket *packet) {
    AVSubtitle cue{};
    int got = 0;
    if (avcodec_decode_subtitle2(decoder_, &cue, &got, packet) < 0 || !got) return false;
    int size = -1;
    if (cue.num_rects > 0) size = avcodec_encode_subtitle(encoder_, buffer_.data(), (int)buffer_.size(), &cue);
    const int64_t shown = cue.end_display_time;
    avsubtitle_free(&cue);
    if (size <= 0) return false;
    // The packet keeps its own times; a cue without a packet duration lasts as the decoder says.
    const int64_t pts = packet->pts, dts = packet->dts;
    const int64_t duration =
        packet->duration > 0 ? packet->duration : av_rescale_q(shown, AVRational{1, 1000}, decoder_->pkt_timebase);
    av_packet_unref(packet);
    CheckAv(av_new_packet(packet, size), "cannot convert a subtitle");
    std::memcpy(packet->data, buffer_.data(), (size_t)size);
    packet->pts = pts;
    packet->dts = dts;
    packet->duration = duration;
    packet->flags |= AV_PKT_FLAG_KEY;
    return true;
}
