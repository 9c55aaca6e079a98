// FFmpeg-based reading, colour conversion and writing for subremove.
//
// Conversion back from the host's pixels keeps untouched pixels untouched: when the output keeps
// the input's pixel format, the output frame starts as a copy of the decoded frame and only the
// chroma-sized blocks that hold pixels the filter changed are replaced by converted ones. The
// cost is one compare of the frame and one conversion of frames that changed.
#include "cli/video.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/errors.h"
#include "cli/plugin_host.h"

namespace {

// Pictures' pixels, summed over the encoder contexts that may code at once. An FFV1 context
// keeps a zeroed packet buffer of about 150 bytes per pixel, so this bounds those buffers to
// about 600 MB: SD films get one context per thread, 1080p two, 4K one.
constexpr int64_t kEncoderPixelBudget = int64_t(1) << 22;

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

std::string DirectoryOf(const std::string &path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseName(const std::string &path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Formats whose pixels cannot be copied block by block: palettes, bit-packed and hardware frames.
bool BlockCopyable(AVPixelFormat format) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
    return d && !(d->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL));
}

bool IsRgb(AVPixelFormat format) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
    return d && (d->flags & AV_PIX_FMT_FLAG_RGB);
}

// Full range for the JPEG-style formats and frames that say so; limited range otherwise.
bool FullRange(AVPixelFormat format, AVColorRange range) {
    if (IsRgb(format) || format == AV_PIX_FMT_GRAY8) return true;
    switch (format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
        return true;
    default:
        return range == AVCOL_RANGE_JPEG;
    }
}

}  // namespace

void CheckAv(int result, const std::string &what) {
    if (result < 0) throw HostError(EXIT_FAILURE_RUN, what + ": " + AvError(result));
}

// ---------------------------------------------------------------------------------------------
// Input

VideoInput::VideoInput(const std::string &path, int threads) : threads_(threads), path_(path) {
    // A throwing constructor runs no destructor: release what was opened so far by hand.
    try {
        Open(path);
    } catch (...) {
        Release();
        throw;
    }
}

void VideoInput::Open(const std::string &path) {
    int r = avformat_open_input(&format_, path.c_str(), nullptr, nullptr);
    if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot read the input " + path + ": " + AvError(r));
    r = avformat_find_stream_info(format_, nullptr);
    if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot read the input " + path + ": " + AvError(r));
    int index = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) throw HostError(EXIT_FAILURE_RUN, "the input " + path + " has no video stream");
    stream_ = format_->streams[index];
    const AVCodec *codec = avcodec_find_decoder(stream_->codecpar->codec_id);
    if (!codec) {
        throw HostError(EXIT_FAILURE_RUN, "no decoder for the video codec " +
                                              std::string(avcodec_get_name(stream_->codecpar->codec_id)) + " of " + path);
    }
    decoder_ = avcodec_alloc_context3(codec);
    if (!decoder_) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    CheckAv(avcodec_parameters_to_context(decoder_, stream_->codecpar), "cannot set up the decoder");
    decoder_->thread_count = threads_;
    decoder_->pkt_timebase = stream_->time_base;
    r = avcodec_open2(decoder_, codec, nullptr);
    if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot open the " + std::string(codec->name) + " decoder: " + AvError(r));
    if (decoder_->width <= 0 || decoder_->height <= 0 || decoder_->pix_fmt == AV_PIX_FMT_NONE) {
        throw HostError(EXIT_FAILURE_RUN, "the input " + path + " does not tell its picture size");
    }
    // Every filter instance holds several frame-sized buffers, and a header may claim any size
    // before a single pixel is read: refuse what no real film needs rather than allocate it.
    if (decoder_->width > kMaxPictureSide || decoder_->height > kMaxPictureSide ||
        (int64_t)decoder_->width * decoder_->height > kMaxPicturePixels) {
        throw HostError(EXIT_FAILURE_RUN, "the input " + path + " is " + std::to_string(decoder_->width) + "x" +
                                              std::to_string(decoder_->height) + " pixels; subremove takes at most " +
                                              std::to_string(kMaxPicturePixels) + " pixels and " +
                                              std::to_string(kMaxPictureSide) + " on a side");
    }
    AVRational rate = av_guess_frame_rate(format_, stream_, nullptr);
    if (rate.num > 0 && rate.den > 0) frameRate_ = rate;
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!packet_ || !frame_) throw HostError(EXIT_FAILURE_RUN, "out of memory");
}

VideoInput::~VideoInput() { Release(); }

void VideoInput::Release() {
    for (AVPacket *p : pending_) av_packet_free(&p);
    pending_.clear();
    av_packet_free(&framePacket_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&decoder_);
    avformat_close_input(&format_);
}

int VideoInput::FirstSequenceNumber() const {
    if (std::strcmp(format_->iformat->name, "image2") != 0) return 0;
    // The image sequence reader starts at the first of the numbers 0..4 that names a file.
    char name[4096];
    for (int i = 0; i < 5; ++i) {
        struct stat st{};
        if (av_get_frame_filename(name, sizeof(name), format_->url, i) == 0 && stat(name, &st) == 0) return i;
    }
    return 0;
}

int64_t VideoInput::ExpectedFrames() const {
    if (stream_->nb_frames > 0) return stream_->nb_frames;
    if (stream_->duration != AV_NOPTS_VALUE && stream_->duration > 0) {
        return av_rescale_q(stream_->duration, stream_->time_base, av_inv_q(frameRate_));
    }
    if (format_->duration != AV_NOPTS_VALUE && format_->duration > 0) {
        return av_rescale_q(format_->duration, AVRational{1, AV_TIME_BASE}, av_inv_q(frameRate_));
    }
    return -1;
}

int64_t VideoInput::NominalFrameDuration() const {
    int64_t d = av_rescale_q(1, av_inv_q(frameRate_), stream_->time_base);
    return d > 0 ? d : 1;
}

// Skipping a frame that cannot be decoded would renumber every later frame, and the index names
// subtitles by frame number: the run stops instead.
void VideoInput::FailDecoding(int code) const {
    throw HostError(EXIT_FAILURE_RUN, "frame " + std::to_string(framesDecoded_) + " of " + path_ + " cannot be decoded (" +
                                          AvError(code) + "); skipping it would shift the frame numbers of the index");
}

AVFrame *VideoInput::NextFrame() {
    for (;;) {
        int r = avcodec_receive_frame(decoder_, frame_);
        if (r == 0) {
            ++framesDecoded_;
            av_packet_free(&framePacket_);
            if (keepPackets) {
                // Intra-only codecs give one frame per packet in order; drop packets that gave none.
                int64_t pts = frame_->best_effort_timestamp;
                while (!pending_.empty() && pending_.front()->pts != AV_NOPTS_VALUE && pts != AV_NOPTS_VALUE &&
                       pending_.front()->pts < pts) {
                    av_packet_free(&pending_.front());
                    pending_.pop_front();
                }
                if (!pending_.empty() && pending_.front()->pts == pts) {
                    framePacket_ = pending_.front();
                    pending_.pop_front();
                }
            }
            return frame_;
        }
        if (r == AVERROR_EOF) return nullptr;
        if (r != AVERROR(EAGAIN)) FailDecoding(r);
        if (inputEnded_) {
            if (decoderDrained_) return nullptr;
            decoderDrained_ = true;
            avcodec_send_packet(decoder_, nullptr);
            continue;
        }
        r = av_read_frame(format_, packet_);
        if (r < 0) {
            inputEnded_ = true;
            continue;
        }
        if (packet_->stream_index == stream_->index) {
            if (keepPackets) {
                AVPacket *copy = av_packet_clone(packet_);
                if (copy) pending_.push_back(copy);
            }
            r = avcodec_send_packet(decoder_, packet_);
            if (r < 0 && r != AVERROR(EAGAIN)) FailDecoding(r);
        } else if (onOtherPacket) {
            onOtherPacket(packet_);
        }
        av_packet_unref(packet_);
    }
}

// ---------------------------------------------------------------------------------------------
// Colour conversion

ColourConverter::ColourConverter(int width, int height, AVPixelFormat inputFormat, AVColorSpace space,
                                 AVColorRange range)
    : width_(width), height_(height), inputFormat_(inputFormat), space_(space), range_(range) {
    // Frames that do not name their matrix follow the usual rule: HD uses BT.709, SD BT.601.
    if (space_ == AVCOL_SPC_UNSPECIFIED || space_ == AVCOL_SPC_RESERVED) {
        space_ = height >= 720 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
    }
    rgbIn_.assign((size_t)width * height * 4, 0);
    rgbOut_.assign((size_t)width * height * 4, 0);
}

ColourConverter::~ColourConverter() {
    sws_freeContext(toHost_);
    sws_freeContext(fromHost_);
    av_frame_free(&converted_);
}

SwsContext *ColourConverter::Context(SwsContext *&cache, AVPixelFormat from, bool fromFull, AVPixelFormat to, bool toFull) {
    const int flags = SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP;
    SwsContext *previous = cache;
    cache = sws_getCachedContext(cache, width_, height_, from, width_, height_, to, flags, nullptr, nullptr, nullptr);
    if (!cache) {
        throw HostError(EXIT_FAILURE_RUN, std::string("cannot convert pixels from ") + av_get_pix_fmt_name(from) + " to " +
                                              av_get_pix_fmt_name(to));
    }
    if (cache != previous) {
        // The input's matrix both ways, each side with its own range.
        const int *coefficients = sws_getCoefficients(space_);
        sws_setColorspaceDetails(cache, coefficients, fromFull ? 1 : 0, coefficients, toFull ? 1 : 0, 0, 1 << 16, 1 << 16);
    }
    return cache;
}

void ColourConverter::ToHost(const AVFrame *frame, FilterInstance &instance) {
    if (frame->width != width_ || frame->height != height_ || frame->format != inputFormat_) {
        throw HostError(EXIT_FAILURE_RUN, "the picture size or pixel format changes within the film; subremove needs one size");
    }
    SwsContext *c = Context(toHost_, inputFormat_, FullRange(inputFormat_, range_), AV_PIX_FMT_BGR0, true);
    uint8_t *dst[4] = {rgbIn_.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {width_ * 4, 0, 0, 0};
    sws_scale(c, frame->data, frame->linesize, 0, height_, dst, dstStride);
    // BGR0 in memory is the host's 0x00RRGGBB word on a little-endian machine; rows turn bottom-up.
    for (int y = 0; y < height_; ++y) {
        std::memcpy(instance.SourceRow(y), rgbIn_.data() + (size_t)y * width_ * 4, (size_t)width_ * 4);
    }
}

int64_t ColourConverter::FromHost(const FilterInstance &instance, const AVFrame *decoded, AVPixelFormat outputFormat,
                                  AVColorRange outputRange, AVFrame *out) {
    int64_t changed = 0;
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(outputFormat);
    const bool keepFormat = outputFormat == inputFormat_ && BlockCopyable(outputFormat) && desc;
    const int blockW = keepFormat && !IsRgb(outputFormat) ? 1 << desc->log2_chroma_w : 1;
    const int blockH = keepFormat && !IsRgb(outputFormat) ? 1 << desc->log2_chroma_h : 1;
    const int blocksX = (width_ + blockW - 1) / blockW;
    const int blocksY = (height_ + blockH - 1) / blockH;
    changedBlocks_.assign((size_t)blocksX * blocksY, 0);

    for (int y = 0; y < height_; ++y) {
        const uint32_t *result = instance.DestinationRow(y);
        const uint32_t *given = reinterpret_cast<const uint32_t *>(rgbIn_.data() + (size_t)y * width_ * 4);
        uint32_t *row = reinterpret_cast<uint32_t *>(rgbOut_.data() + (size_t)y * width_ * 4);
        uint8_t *blockRow = changedBlocks_.data() + (size_t)(y / blockH) * blocksX;
        for (int x = 0; x < width_; ++x) {
            // The top byte is not colour: the filter may write 0 where the input had anything.
            row[x] = result[x] & 0x00FFFFFFu;
            if (((result[x] ^ given[x]) & 0x00FFFFFFu) != 0) {
                ++changed;
                blockRow[x / blockW] = 1;
            }
        }
    }

    out->format = outputFormat;
    out->width = width_;
    out->height = height_;
    if (keepFormat && changed == 0) {
        // Nothing repainted: the decoded frame goes out as it came.
        CheckAv(av_frame_ref(out, decoded), "cannot pass the frame on");
        return 0;
    }

    SwsContext *c = Context(fromHost_, AV_PIX_FMT_BGR0, true, outputFormat, FullRange(outputFormat, keepFormat ? range_ : outputRange));
    AVFrame *target = out;
    if (keepFormat) {
        if (!converted_) converted_ = av_frame_alloc();
        if (!converted_) throw HostError(EXIT_FAILURE_RUN, "out of memory");
        if (!converted_->data[0]) {
            converted_->format = outputFormat;
            converted_->width = width_;
            converted_->height = height_;
            CheckAv(av_frame_get_buffer(converted_, 0), "cannot allocate a frame");
        }
        target = converted_;
    }
    if (!target->data[0]) CheckAv(av_frame_get_buffer(target, 0), "cannot allocate a frame");
    const uint8_t *src[4] = {rgbOut_.data(), nullptr, nullptr, nullptr};
    int srcStride[4] = {width_ * 4, 0, 0, 0};
    sws_scale(c, src, srcStride, 0, height_, target->data, target->linesize);
    if (!keepFormat) return changed;

    // Start from the decoded frame and take over only the blocks the filter touched.
    CheckAv(av_frame_get_buffer(out, 0), "cannot allocate a frame");
    av_frame_copy(out, decoded);
    av_frame_copy_props(out, decoded);
    const int planes = av_pix_fmt_count_planes(outputFormat);
    for (int p = 0; p < planes; ++p) {
        bool chroma = false;
        if (!IsRgb(outputFormat)) {
            for (int comp = 1; comp <= 2 && comp < desc->nb_components; ++comp) chroma |= desc->comp[comp].plane == p;
        }
        const int shiftH = chroma ? desc->log2_chroma_h : 0;
        for (int by = 0; by < blocksY; ++by) {
            const uint8_t *flags = changedBlocks_.data() + (size_t)by * blocksX;
            const int y0 = (by * blockH) >> shiftH;
            const int y1 = std::min(((by + 1) * blockH) >> shiftH, AV_CEIL_RSHIFT(height_, shiftH));
            for (int bx = 0; bx < blocksX;) {
                if (!flags[bx]) {
                    ++bx;
                    continue;
                }
                int end = bx;
                while (end < blocksX && flags[end]) ++end;  // copy runs of blocks in one go
                const int x0 = bx * blockW;
                const int x1 = std::min(end * blockW, width_);
                const int b0 = x0 == 0 ? 0 : av_image_get_linesize(outputFormat, x0, p);
                const int b1 = av_image_get_linesize(outputFormat, x1, p);
                for (int y = y0; y < y1; ++y) {
                    std::memcpy(out->data[p] + (ptrdiff_t)y * out->linesize[p] + b0,
                                converted_->data[p] + (ptrdiff_t)y * converted_->linesize[p] + b0, (size_t)(b1 - b0));
                }
                bx = end;
            }
        }
    }
    return changed;
}

// ---------------------------------------------------------------------------------------------
// Output

namespace {

const AVCodec *ChooseEncoder(const AVOutputFormat *format, const std::string &path, const std::string &name) {
    if (!name.empty()) {
        const AVCodec *codec = avcodec_find_encoder_by_name(name.c_str());
        if (!codec || codec->type != AVMEDIA_TYPE_VIDEO) throw HostError(EXIT_FAILURE_RUN, "unknown video codec " + name);
        return codec;
    }
    std::string ext;
    size_t dot = path.find_last_of('.');
    if (dot != std::string::npos) ext = path.substr(dot + 1);
    for (char &ch : ext) ch = (char)std::tolower((unsigned char)ch);
    // Lossless where the container takes it; H.264 at high quality for the delivery containers.
    const char *preferred = nullptr;
    if (ext == "mkv" || ext == "nut" || ext == "avi") preferred = "ffv1";
    else if (ext == "mp4" || ext == "mov" || ext == "m4v") preferred = "libx264";
    else if (ext == "webm") preferred = "libvpx-vp9";
    if (preferred) {
        if (const AVCodec *codec = avcodec_find_encoder_by_name(preferred)) return codec;
    }
    const AVCodec *codec = avcodec_find_encoder(av_guess_codec(format, nullptr, path.c_str(), nullptr, AVMEDIA_TYPE_VIDEO));
    if (!codec) throw HostError(EXIT_FAILURE_RUN, "no video encoder for " + path);
    return codec;
}

// The input's own format when the encoder takes it and we can convert into it (a palette, for
// one, we cannot); otherwise the encoder's format that loses least.
AVPixelFormat ChoosePixelFormat(const AVCodec *codec, AVPixelFormat input) {
    std::vector<AVPixelFormat> usable;
    if (codec->pix_fmts) {
        for (const AVPixelFormat *f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f) {
            if (sws_isSupportedOutput(*f)) usable.push_back(*f);
        }
    } else if (sws_isSupportedOutput(input)) {
        return input;
    } else {
        return AV_PIX_FMT_YUV444P;
    }
    for (AVPixelFormat f : usable) {
        if (f == input) return input;
    }
    if (usable.empty()) throw HostError(EXIT_FAILURE_RUN, std::string("subremove cannot feed the ") + codec->name + " encoder");
    usable.push_back(AV_PIX_FMT_NONE);
    return avcodec_find_best_pix_fmt_of_list(usable.data(), input, 0, nullptr);
}

}  // namespace

VideoOutput::VideoOutput(const std::string &path, VideoInput &input, const OutputOptions &options)
    : path_(path), input_(input) {
    try {
        Open(options);
    } catch (...) {
        Release();
        throw;
    }
}

void VideoOutput::Open(const OutputOptions &options) {
    const std::string &path = path_;
    VideoInput &input = input_;
    const AVOutputFormat *guess = av_guess_format(nullptr, path.c_str(), nullptr);
    if (!guess) throw HostError(EXIT_FAILURE_RUN, "cannot tell the container of " + path + " from its extension");
    sequence_ = std::strcmp(guess->name, "image2") == 0;

    struct stat st{};
    const std::string folder = DirectoryOf(path);
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw HostError(EXIT_FAILURE_RUN, "cannot write " + path + ": the folder " + folder + " does not exist");
    }
    std::string target;
    if (sequence_) {
        tempDir_ = folder + "/.subremove-" + std::to_string(getpid());
        if (mkdir(tempDir_.c_str(), 0777) != 0) {
            tempDir_.clear();
            throw HostError(EXIT_FAILURE_RUN, "cannot write in " + folder + ": " + std::strerror(errno));
        }
        target = tempDir_ + "/" + BaseName(path);
    } else {
        tempPath_ = path + ".part";
        target = tempPath_;
    }
    CheckAv(avformat_alloc_output_context2(&format_, guess, nullptr, target.c_str()), "cannot set up the output " + path);

    const AVCodec *codec = ChooseEncoder(format_->oformat, path, options.codec);
    if (avformat_query_codec(format_->oformat, codec->id, FF_COMPLIANCE_NORMAL) == 0) {
        throw HostError(EXIT_FAILURE_RUN, std::string("the container of ") + path + " cannot hold " + codec->name + " video");
    }
    AVCodecContext *dec = input.decoder();
    AVStream *in = input.stream();
    const std::string name = codec->name;
    // FFV1 with a fixed slice layout and PNG write the same bytes with any number of threads and
    // contexts, so they follow --threads; other encoders (x264's lookahead, for one) code
    // differently with other thread counts, so they keep their own choice and --threads never
    // changes the file.
    const bool threadExact = name == "ffv1" || name == "png";
    const int64_t pixels = (int64_t)dec->width * dec->height;
    const int contexts =
        threadExact ? (int)std::max<int64_t>(1, std::min<int64_t>(options.threads, kEncoderPixelBudget / std::max<int64_t>(pixels, 1)))
                    : 1;
    // FFV1's slice threads finish a picture within the call; PNG's frame threads hand packets back
    // later, which several contexts could not put in order, so they are used by one context only.
    const int threadsPerContext = !threadExact ? 0 : contexts > 1 && name == "png" ? 1 : std::max(1, options.threads / contexts);
    auto openContext = [&]() -> AVCodecContext * {
        Encoder slot;
        slot.context = avcodec_alloc_context3(codec);
        slot.packet = av_packet_alloc();
        encoders_.push_back(slot);
        AVCodecContext *e = slot.context;
        if (!e || !slot.packet) throw HostError(EXIT_FAILURE_RUN, "out of memory");
        e->width = dec->width;
        e->height = dec->height;
        e->pix_fmt = ChoosePixelFormat(codec, dec->pix_fmt);
        e->sample_aspect_ratio = av_guess_sample_aspect_ratio(input.format(), in, nullptr);
        e->time_base = in->time_base;
        e->framerate = input.frameRate();
        e->thread_count = threadsPerContext;
        e->field_order = dec->field_order;
        if (!IsRgb(e->pix_fmt)) {
            const bool sameFormat = e->pix_fmt == dec->pix_fmt;
            e->color_range = sameFormat ? dec->color_range : AVCOL_RANGE_MPEG;
            e->colorspace = dec->colorspace;
            e->color_primaries = dec->color_primaries;
            e->color_trc = dec->color_trc;
            if (IsRgb(dec->pix_fmt)) e->colorspace = AVCOL_SPC_UNSPECIFIED;
        }
        if (format_->oformat->flags & AVFMT_GLOBALHEADER) e->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        AVDictionary *settings = nullptr;
        if (name == "libx264" || name == "libx265") {
            av_dict_set(&settings, "crf", std::to_string(options.quality >= 0 ? options.quality : 16).c_str(), 0);
            av_dict_set(&settings, "preset", "medium", 0);
        } else if (name == "libvpx-vp9" || name == "libvpx") {
            av_dict_set(&settings, "crf", std::to_string(options.quality >= 0 ? options.quality : 20).c_str(), 0);
            e->bit_rate = 0;
        } else if (name == "ffv1") {
            av_dict_set(&settings, "level", "3", 0);
            av_dict_set(&settings, "slicecrc", "1", 0);
            // Slices are what FFV1's threads share out; fixing their number keeps the bytes the
            // same for every --threads. Pictures too small for four slices keep the encoder's layout.
            if (dec->width >= 128 && dec->height >= 128) av_dict_set(&settings, "slices", "4", 0);
        } else if (!(codec->capabilities & AV_CODEC_CAP_LOSSLESS) && name != "png") {
            e->flags |= AV_CODEC_FLAG_QSCALE;
            e->global_quality = FF_QP2LAMBDA * (options.quality >= 0 ? options.quality : 2);
        }
        int r = avcodec_open2(e, codec, &settings);
        av_dict_free(&settings);
        if (r < 0) {
            throw HostError(EXIT_FAILURE_RUN, "cannot open the " + name + " encoder for " + std::to_string(e->width) + "x" +
                                                  std::to_string(e->height) + " " + av_get_pix_fmt_name(e->pix_fmt) +
                                                  " pictures (" + AvError(r) + "); choose another with --codec");
        }
        return e;
    };
    AVCodecContext *first = openContext();
    // Groups that code alone: PNG codes every picture alone; FFV1 resets its coder at every key
    // frame, which comes every gop_size pictures counted by the context. A context that has coded
    // only whole groups therefore codes the next group exactly as a single context would.
    if (name == "png") groupLength_ = 1;
    if (name == "ffv1") groupLength_ = first->gop_size > 0 ? first->gop_size : 1;
    // Both give each picture's packet within the call that takes it (FFV1's delay is only for
    // two-pass statistics), which EncodeFrame checks.
    if (groupLength_ > 0) {
        while ((int)encoders_.size() < contexts) openContext();
    }

    videoStream_ = avformat_new_stream(format_, nullptr);
    if (!videoStream_) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    CheckAv(avcodec_parameters_from_context(videoStream_->codecpar, first), "cannot set up the output stream");
    videoStream_->time_base = first->time_base;
    videoStream_->avg_frame_rate = input.frameRate();
    videoStream_->sample_aspect_ratio = first->sample_aspect_ratio;
    av_dict_copy(&videoStream_->metadata, in->metadata, 0);
    streamMap_[in->index] = videoStream_->index;

    // The other streams go across unchanged where the container can hold them.
    int skipped = 0;
    for (unsigned i = 0; i < input.format()->nb_streams; ++i) {
        AVStream *other = input.format()->streams[i];
        if ((int)i == in->index) continue;
        const AVMediaType type = other->codecpar->codec_type;
        // Attachments (the fonts of styled subtitles) travel with Matroska only.
        const bool attachment = type == AVMEDIA_TYPE_ATTACHMENT && std::strstr(format_->oformat->name, "matroska");
        if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_SUBTITLE && !attachment) continue;
        if (sequence_ || (!attachment && avformat_query_codec(format_->oformat, other->codecpar->codec_id, FF_COMPLIANCE_NORMAL) != 1)) {
            ++skipped;
            continue;
        }
        AVStream *copy = avformat_new_stream(format_, nullptr);
        if (!copy) throw HostError(EXIT_FAILURE_RUN, "out of memory");
        CheckAv(avcodec_parameters_copy(copy->codecpar, other->codecpar), "cannot copy a stream");
        copy->codecpar->codec_tag = 0;
        copy->time_base = other->time_base;
        copy->disposition = other->disposition;
        av_dict_copy(&copy->metadata, other->metadata, 0);
        streamMap_[(int)i] = copy->index;
    }
    if (skipped > 0) {
        std::fprintf(stderr, "subremove: warning: %d audio or subtitle stream(s) left out: %s cannot hold them\n", skipped,
                     sequence_ ? "an image sequence" : "the output container");
    }
    av_dict_copy(&format_->metadata, input.format()->metadata, 0);

    const AVCodecDescriptor *inDesc = avcodec_descriptor_get(dec->codec_id);
    passPackets_ = sequence_ && codec->id == dec->codec_id && first->pix_fmt == dec->pix_fmt && inDesc &&
                   (inDesc->props & AV_CODEC_PROP_INTRA_ONLY);

    int r = 0;
    if (!(format_->oformat->flags & AVFMT_NOFILE)) {
        r = avio_open(&format_->pb, target.c_str(), AVIO_FLAG_WRITE);
        if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path + ": " + AvError(r));
    }
    // FLAC or Opus in MP4 is still marked experimental in this FFmpeg, yet players read it.
    format_->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    // No random container ids or library versions: the same film and settings give the same file,
    // whatever --threads, so results can be compared byte for byte.
    format_->flags |= AVFMT_FLAG_BITEXACT;
    AVDictionary *muxing = nullptr;
    // Sequence files are numbered like the input's, or else by frame number from 0 as the index counts.
    if (sequence_) av_dict_set_int(&muxing, "start_number", input.FirstSequenceNumber(), 0);
    r = avformat_write_header(format_, &muxing);
    av_dict_free(&muxing);
    if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path + ": " + AvError(r));
    headerWritten_ = true;
}

VideoOutput::~VideoOutput() { Release(); }

void VideoOutput::Release() {
    if (!finished_) Discard();
    finished_ = true;
    for (Encoder &e : encoders_) {
        av_packet_free(&e.packet);
        avcodec_free_context(&e.context);
    }
    encoders_.clear();
    if (format_) {
        if (format_->pb) avio_closep(&format_->pb);
        avformat_free_context(format_);
        format_ = nullptr;
    }
}

void VideoOutput::Discard() {
    if (format_ && format_->pb) avio_closep(&format_->pb);
    if (!tempPath_.empty()) std::remove(tempPath_.c_str());
    if (!tempDir_.empty()) {
        if (DIR *dir = opendir(tempDir_.c_str())) {
            while (dirent *e = readdir(dir)) {
                if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) std::remove((tempDir_ + "/" + e->d_name).c_str());
            }
            closedir(dir);
        }
        rmdir(tempDir_.c_str());
    }
}

PacketList::~PacketList() {
    for (AVPacket *p : packets) av_packet_free(&p);
}

void VideoOutput::EncodeFrame(int slot, AVFrame *frame, int64_t duration, PacketList &out) {
    Encoder &e = encoders_.at((size_t)slot);
    if (frame->pts != AV_NOPTS_VALUE) e.durations[frame->pts] = duration;
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    int r = avcodec_send_frame(e.context, frame);
    if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot encode a frame: " + AvError(r));
    const size_t before = out.packets.size();
    Receive(e, out);
    // Contexts past the first are used only by encoders that give each picture's packet at once;
    // one that did not would put the film out of order.
    if (encoders_.size() > 1 && out.packets.size() != before + 1) {
        throw HostError(EXIT_FAILURE_RUN, "cannot encode a frame: the encoder did not give one packet for it");
    }
}

void VideoOutput::Receive(Encoder &e, PacketList &out) {
    for (;;) {
        int r = avcodec_receive_packet(e.context, e.packet);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
        if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot encode a frame: " + AvError(r));
        if (e.packet->duration == 0 && e.packet->pts != AV_NOPTS_VALUE) {
            auto found = e.durations.find(e.packet->pts);
            if (found != e.durations.end()) e.packet->duration = found->second;
        }
        e.durations.erase(e.durations.begin(),
                          e.durations.lower_bound(e.packet->pts == AV_NOPTS_VALUE ? 0 : e.packet->pts - 1));
        AVPacket *taken = av_packet_alloc();
        if (!taken) throw HostError(EXIT_FAILURE_RUN, "out of memory");
        av_packet_move_ref(taken, e.packet);
        out.packets.push_back(taken);
    }
}

void VideoOutput::WritePackets(PacketList &encoded) {
    for (AVPacket *&p : encoded.packets) {
        p->stream_index = videoStream_->index;
        av_packet_rescale_ts(p, First()->time_base, videoStream_->time_base);
        int r;
        {
            std::lock_guard<std::mutex> lock(muxMutex_);
            r = av_interleaved_write_frame(format_, p);
        }
        av_packet_free(&p);
        if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path_ + ": " + AvError(r));
    }
    encoded.packets.clear();
}

void VideoOutput::WriteFrame(AVFrame *frame, int64_t duration) {
    PacketList encoded;
    EncodeFrame(0, frame, duration, encoded);
    WritePackets(encoded);
}

void VideoOutput::WriteInputPacket(const AVPacket *packet) {
    AVPacket *copy = av_packet_clone(packet);
    if (!copy) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    copy->stream_index = videoStream_->index;
    av_packet_rescale_ts(copy, input_.stream()->time_base, videoStream_->time_base);
    int r;
    {
        std::lock_guard<std::mutex> lock(muxMutex_);
        r = av_interleaved_write_frame(format_, copy);
    }
    av_packet_free(&copy);
    if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path_ + ": " + AvError(r));
}

void VideoOutput::CopyPacket(AVPacket *packet) {
    auto found = streamMap_.find(packet->stream_index);
    if (found == streamMap_.end() || found->second == videoStream_->index) return;
    AVStream *from = input_.format()->streams[packet->stream_index];
    AVStream *to = format_->streams[found->second];
    packet->stream_index = to->index;
    av_packet_rescale_ts(packet, from->time_base, to->time_base);
    packet->pos = -1;
    std::lock_guard<std::mutex> lock(muxMutex_);
    int r = av_interleaved_write_frame(format_, packet);
    if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path_ + ": " + AvError(r));
}

void VideoOutput::Finish() {
    // Only the first context can hold delayed pictures (see EncodeFrame).
    for (Encoder &e : encoders_) {
        avcodec_send_frame(e.context, nullptr);
        PacketList rest;
        Receive(e, rest);
        WritePackets(rest);
    }
    int r = av_write_trailer(format_);
    if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path_ + ": " + AvError(r));
    if (format_->pb) {
        r = avio_closep(&format_->pb);
        if (r < 0) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path_ + ": " + AvError(r));
    }
    if (!tempPath_.empty()) {
        if (std::rename(tempPath_.c_str(), path_.c_str()) != 0) {
            throw HostError(EXIT_FAILURE_RUN, "cannot rename " + tempPath_ + " to " + path_ + ": " + std::strerror(errno));
        }
    } else {
        const std::string folder = DirectoryOf(path_);
        DIR *dir = opendir(tempDir_.c_str());
        if (!dir) throw HostError(EXIT_FAILURE_RUN, "cannot read " + tempDir_ + ": " + std::strerror(errno));
        while (dirent *e = readdir(dir)) {
            if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
            const std::string from = tempDir_ + "/" + e->d_name;
            if (std::rename(from.c_str(), (folder + "/" + e->d_name).c_str()) != 0) {
                closedir(dir);
                throw HostError(EXIT_FAILURE_RUN, "cannot move " + from + " into " + folder + ": " + std::strerror(errno));
            }
        }
        closedir(dir);
        rmdir(tempDir_.c_str());
    }
    finished_ = true;
}

void WritePng(const std::string &path, int width, int height, const std::vector<uint8_t> &rgb) {
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec) throw HostError(EXIT_FAILURE_RUN, "no PNG encoder");
    AVCodecContext *context = avcodec_alloc_context3(codec);
    AVFrame *frame = av_frame_alloc();
    AVPacket *packet = av_packet_alloc();
    auto cleanup = [&] {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&context);
    };
    try {
        if (!context || !frame || !packet) throw HostError(EXIT_FAILURE_RUN, "out of memory");
        context->width = width;
        context->height = height;
        context->pix_fmt = AV_PIX_FMT_RGB24;
        context->time_base = AVRational{1, 25};
        CheckAv(avcodec_open2(context, codec, nullptr), "cannot open the PNG encoder");
        frame->format = AV_PIX_FMT_RGB24;
        frame->width = width;
        frame->height = height;
        CheckAv(av_frame_get_buffer(frame, 0), "cannot allocate a frame");
        for (int y = 0; y < height; ++y) {
            std::memcpy(frame->data[0] + (ptrdiff_t)y * frame->linesize[0], rgb.data() + (size_t)y * width * 3, (size_t)width * 3);
        }
        CheckAv(avcodec_send_frame(context, frame), "cannot encode the preview");
        avcodec_send_frame(context, nullptr);
        CheckAv(avcodec_receive_packet(context, packet), "cannot encode the preview");
        const std::string temp = path + ".part";
        FILE *file = std::fopen(temp.c_str(), "wb");
        if (!file) throw HostError(EXIT_FAILURE_RUN, "cannot write " + path + ": " + std::strerror(errno));
        const bool written = std::fwrite(packet->data, 1, (size_t)packet->size, file) == (size_t)packet->size;
        if (std::fclose(file) != 0 || !written) {
            std::remove(temp.c_str());
            throw HostError(EXIT_FAILURE_RUN, "cannot write " + path);
        }
        if (std::rename(temp.c_str(), path.c_str()) != 0) {
            std::remove(temp.c_str());
            throw HostError(EXIT_FAILURE_RUN, "cannot write " + path + ": " + std::strerror(errno));
        }
    } catch (...) {
        cleanup();
        throw;
    }
    cleanup();
}
