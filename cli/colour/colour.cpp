// Colour conversion both ways and the splice of changed blocks (see colour.h).
#include "cli/colour/colour.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstring>
#include <string>

#include "cli/errors.h"
#include "cli/plugin/plugin_host.h"

namespace {

// Bicubic with accurate rounding, chroma interpolated at full resolution both ways: the scaler's
// most exact same-size conversion. The output's bytes depend on these flags.
constexpr int kScaleFlags = SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP;

// A scaler context with its colour details set once, at creation. (A cached context can be
// rebuilt behind our back, at the same address, without them.)
SwsContext *MakeContext(int w, int h, const PictureColour &from, const PictureColour &to) {
    SwsContext *c = sws_getContext(w, h, from.format, w, h, to.format, kScaleFlags, nullptr, nullptr, nullptr);
    if (!c) {
        throw HostError(EXIT_FAILURE_RUN, std::string("cannot convert pixels from ") + av_get_pix_fmt_name(from.format) +
                                              " to " + av_get_pix_fmt_name(to.format));
    }
    sws_setColorspaceDetails(c, sws_getCoefficients(from.matrix), from.fullRange ? 1 : 0, sws_getCoefficients(to.matrix),
                             to.fullRange ? 1 : 0, 0, 1 << 16, 1 << 16);
    return c;
}

// Formats whose pixels can be copied block by block: no palettes, bit-packed or hardware frames.
bool BlockCopyable(AVPixelFormat format) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
    return d && !(d->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL));
}

// A plane that holds only alpha keeps the decoded samples: the filter repaints colour only.
bool AlphaOnlyPlane(const AVPixFmtDescriptor *d, int plane) {
    if (!(d->flags & AV_PIX_FMT_FLAG_ALPHA) || d->nb_components < 2) return false;
    const int alpha = d->nb_components - 1;
    if (d->comp[alpha].plane != plane) return false;
    for (int c = 0; c < alpha; ++c) {
        if (d->comp[c].plane == plane) return false;
    }
    return true;
}

// How many rows of the picture one row of plane `p` stands for, as a shift.
int PlaneRowShift(const AVPixFmtDescriptor *d, int p) {
    if (d->flags & AV_PIX_FMT_FLAG_RGB) return 0;
    for (int c = 1; c <= 2 && c < d->nb_components; ++c) {
        if (d->comp[c].plane == p) return d->log2_chroma_h;
    }
    return 0;
}

// The plane pointers of `data` moved down to picture row `row` (a whole chroma row).
void OffsetPlanes(AVPixelFormat format, uint8_t *const data[4], const int linesize[4], int row, uint8_t *out[4]) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
    for (int p = 0; p < 4; ++p) {
        out[p] = data[p] ? data[p] + (ptrdiff_t)(row >> PlaneRowShift(d, p)) * linesize[p] : nullptr;
    }
}

// Bytes from one picture row of the host's buffer to the next one down (negative: bottom-up).
int PictureRowStride(const uint32_t *row0, const uint32_t *row1) {
    const ptrdiff_t stride = reinterpret_cast<const uint8_t *>(row1) - reinterpret_cast<const uint8_t *>(row0);
    return (int)stride;
}

// The luma weights of red and blue of the matrices the scaler knows (ResolveMatrix's results).
bool LumaWeights(AVColorSpace matrix, double &kr, double &kb) {
    switch (matrix) {
    case AVCOL_SPC_BT709: kr = 0.2126, kb = 0.0722; return true;
    case AVCOL_SPC_FCC: kr = 0.30, kb = 0.11; return true;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: kr = 0.299, kb = 0.114; return true;
    case AVCOL_SPC_SMPTE240M: kr = 0.212, kb = 0.087; return true;
    case AVCOL_SPC_BT2020_NCL: kr = 0.2627, kb = 0.0593; return true;
    default: return false;
    }
}

// The planes of a frame in one of the Planar8 formats (given: a yuvj* frame's twin).
YuvPlanes PlanesOf(const AVFrame *frame, AVPixelFormat format) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
    YuvPlanes planes{};
    for (int p = 0; p < 3; ++p) {
        planes.planes[p] = frame->data[p];
        planes.strides[p] = frame->linesize[p];
    }
    planes.width = frame->width;
    planes.height = frame->height;
    planes.chromaShiftX = d->log2_chroma_w;
    planes.chromaShiftY = d->log2_chroma_h;
    return planes;
}

// The formats our own conversions take (yuvj* arrive as their twins).
bool Planar8(AVPixelFormat format) {
    return format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUV422P || format == AV_PIX_FMT_YUV444P;
}

int ChromaRows(AVPixelFormat format) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
    return d && !(d->flags & AV_PIX_FMT_FLAG_RGB) ? 1 << d->log2_chroma_h : 1;
}


}  // namespace

AVColorSpace GuessMatrix(int, int height) { return height >= 720 ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M; }

AVColorSpace ResolveMatrix(AVColorSpace space, int width, int height) {
    switch (space) {
    case AVCOL_SPC_BT709:
    case AVCOL_SPC_FCC:
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
    case AVCOL_SPC_SMPTE240M:
    case AVCOL_SPC_BT2020_NCL:
        return space;
    case AVCOL_SPC_BT2020_CL:  // the scaler has the non-constant-luminance matrix only
        return AVCOL_SPC_BT2020_NCL;
    default:
        return GuessMatrix(width, height);
    }
}

int ConversionRowAlignment(AVPixelFormat decoded, AVPixelFormat output) {
    return std::max(ChromaRows(SampleTwin(decoded)), ChromaRows(output));
}

PictureColour ResolveColour(AVPixelFormat format, AVColorSpace space, AVColorRange range, int width, int height) {
    PictureColour c;
    c.format = SampleTwin(format);
    c.matrix = ResolveMatrix(space, width, height);
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
    // RGB is full range by nature; untagged grey (PNG, TIFF) is too.
    const bool gray = d && d->nb_components <= 2 && !(d->flags & AV_PIX_FMT_FLAG_RGB);
    c.fullRange = IsJpegFormat(format) || IsRgbFormat(format) || range == AVCOL_RANGE_JPEG ||
                  (gray && range == AVCOL_RANGE_UNSPECIFIED);
    return c;
}

ColourConverter::ColourConverter(int width, int height, const PictureColour &decoded, const PictureColour &output)
    : width_(width), height_(height), decoded_(decoded), output_(output) {
    keepsSamples_ = decoded.format == output.format && decoded.fullRange == output.fullRange;
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(output.format);
    if (!d || !BlockCopyable(output.format)) {
        throw HostError(EXIT_FAILURE_RUN, std::string("subremove cannot write ") + av_get_pix_fmt_name(output.format) + " pictures");
    }
    if (!IsRgbFormat(output.format)) {
        blockW_ = 1 << d->log2_chroma_w;
        blockH_ = 1 << d->log2_chroma_h;
    }
    const PictureColour host{AV_PIX_FMT_BGR0, decoded.matrix, true};
    const PictureColour hostOut{AV_PIX_FMT_BGR0, output.matrix, true};
    try {
        toHost_ = MakeContext(width, height, decoded, host);
        fromHost_ = MakeContext(width, height, hostOut, output);
        if (!keepsSamples_) direct_ = MakeContext(width, height, decoded, output);
    } catch (...) {
        sws_freeContext(toHost_);
        sws_freeContext(fromHost_);
        throw;
    }
    rowAlign_ = ConversionRowAlignment(decoded.format, output.format);
    double kr, kb;
    if (Planar8(decoded.format) && LumaWeights(decoded.matrix, kr, kb)) {
        toHostDirectly_ = true;
        toHostMatrix_ = MakeYuvToHostMatrix(kr, kb, decoded.fullRange);
        toHostScratch_.assign(YuvToHostScratch(width, av_pix_fmt_desc_get(decoded.format)->log2_chroma_w), 0);
    }
    if (Planar8(output.format) && LumaWeights(output.matrix, kr, kb)) {
        fromHostDirectly_ = true;
        fromHostMatrix_ = MakeHostToYuvMatrix(kr, kb, output.fullRange);
    }
    changedBlocks_.assign((size_t)((width + blockW_ - 1) / blockW_) * ((height + blockH_ - 1) / blockH_), 0);
}

ColourConverter::~ColourConverter() {
    av_buffer_pool_uninit(&copyPool_);
    sws_freeContext(toHost_);
    sws_freeContext(fromHost_);
    sws_freeContext(direct_);
    for (auto &c : toHostBands_) sws_freeContext(c.second);
    for (auto &c : fromHostBands_) sws_freeContext(c.second);
}

SwsContext *ColourConverter::BandContext(std::map<int, SwsContext *> &cache, SwsContext *whole, int rows,
                                         const PictureColour &from, const PictureColour &to) {
    if (rows == height_) return whole;
    auto found = cache.find(rows);
    if (found != cache.end()) return found->second;
    SwsContext *c = MakeContext(width_, rows, from, to);
    cache[rows] = c;
    return c;
}

// A band that is not whole chroma rows inside the picture becomes the whole picture.
RowBand ColourConverter::Checked(RowBand band) const {
    if (band.begin < 0 || band.end > height_ || band.begin >= band.end || band.begin % rowAlign_ ||
        (band.end % rowAlign_ && band.end != height_)) {
        return RowBand{0, height_};
    }
    return band;
}

void ColourConverter::ToHost(const AVFrame *frame, FilterInstance &instance, RowBand band) {
    if (frame->width != width_ || frame->height != height_ || SampleTwin((AVPixelFormat)frame->format) != decoded_.format) {
        throw HostError(EXIT_FAILURE_RUN, "the picture size or pixel format changes within the film; subremove needs one size");
    }
    band = Checked(band);
    if (ToHostDirectly(frame, instance, band)) return;
    const int rows = band.end - band.begin;
    SwsContext *c = BandContext(toHostBands_, toHost_, rows, decoded_, PictureColour{AV_PIX_FMT_BGR0, decoded_.matrix, true});
    uint8_t *src[4];
    OffsetPlanes(decoded_.format, frame->data, frame->linesize, band.begin, src);
    // BGR0 in memory is the host's 0x00RRGGBB word on a little-endian machine; the host's rows run
    // bottom-up, so the scaler writes them with a negative stride, straight into the instance.
    uint8_t *dst[4] = {reinterpret_cast<uint8_t *>(instance.SourceRow(band.begin)), nullptr, nullptr, nullptr};
    int dstStride[4] = {PictureRowStride(instance.SourceRow(0), instance.SourceRow(height_ > 1 ? 1 : 0)), 0, 0, 0};
    sws_scale(c, src, frame->linesize, 0, rows, dst, dstStride);
}

bool ColourConverter::ToHostDirectly(const AVFrame *frame, FilterInstance &instance, RowBand band) {
    if (!toHostDirectly_) return false;
    const YuvPlanes picture = PlanesOf(frame, decoded_.format);
    uint8_t *row0 = reinterpret_cast<uint8_t *>(instance.SourceRow(0));
    YuvToHost(picture, toHostMatrix_, band.begin, band.end, row0,
              PictureRowStride(instance.SourceRow(0), instance.SourceRow(height_ > 1 ? 1 : 0)), toHostScratch_.data());
    return true;
}

FramePtr ColourConverter::Unchanged(const AVFrame *decoded) {
    FramePtr out(av_frame_alloc());
    if (!out) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    if (keepsSamples_) {
        CheckAv(av_frame_ref(out.get(), decoded), "cannot pass the frame on");
    } else {
        out->format = output_.format;
        out->width = width_;
        out->height = height_;
        CheckAv(av_frame_get_buffer(out.get(), 0), "cannot allocate a frame");
        CheckAv(av_frame_copy_props(out.get(), decoded), "cannot pass the frame on");
        sws_scale(direct_, decoded->data, decoded->linesize, 0, height_, out->data, out->linesize);
    }
    // A yuvj* frame goes out as its yuv* twin with the pc range tag: the same samples.
    out->format = output_.format;
    out->color_range = output_.fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    return out;
}

int64_t ColourConverter::MarkChangedBlocks(const FilterInstance &instance, RowBand band) {
    int64_t changed = 0;
    const int blocksX = (width_ + blockW_ - 1) / blockW_;
    std::fill(changedBlocks_.begin(), changedBlocks_.end(), 0);
    // Most of a band is as it was given: stretches of kStretch pixels are tested whole first.
    constexpr int kStretch = 16;
    for (int y = band.begin; y < band.end; ++y) {
        const uint32_t *result = instance.DestinationRow(y);
        // The source still holds what the filter was given: it writes only the destination.
        const uint32_t *given = instance.SourceRow(y);
        uint8_t *blockRow = changedBlocks_.data() + (size_t)(y / blockH_) * blocksX;
        for (int x0 = 0; x0 < width_; x0 += kStretch) {
            const int x1 = std::min(width_, x0 + kStretch);
            // The top byte is not colour: the filter may write 0 where the input had anything.
            uint32_t differs = 0;
            for (int x = x0; x < x1; ++x) differs |= result[x] ^ given[x];
            if (!(differs & 0x00FFFFFFu)) continue;
            for (int x = x0; x < x1; ++x) {
                if (((result[x] ^ given[x]) & 0x00FFFFFFu) != 0) {
                    ++changed;
                    blockRow[x / blockW_] = 1;
                }
            }
        }
    }
    return changed;
}

// A frame of the output's format in a buffer from the pool, with `frame`'s samples and
// properties; the pool hands the buffers of frames the encoder is done with back out, instead
// of a fresh allocation for every filtered frame.
FramePtr ColourConverter::WritableCopy(const AVFrame *frame) {
    const int align = 64;
    if (!copyPool_) {
        const int size = av_image_get_buffer_size(output_.format, width_, height_, align);
        if (size < 0) throw HostError(EXIT_FAILURE_RUN, "cannot allocate a frame");
        copyPool_ = av_buffer_pool_init((size_t)size + align, nullptr);
        if (!copyPool_) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    }
    FramePtr copy(av_frame_alloc());
    if (!copy) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    copy->buf[0] = av_buffer_pool_get(copyPool_);
    if (!copy->buf[0]) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    copy->format = frame->format;
    copy->width = width_;
    copy->height = height_;
    uint8_t *start = reinterpret_cast<uint8_t *>(((uintptr_t)copy->buf[0]->data + align - 1) & ~(uintptr_t)(align - 1));
    CheckAv(av_image_fill_arrays(copy->data, copy->linesize, start, output_.format, width_, height_, align),
            "cannot allocate a frame");
    CheckAv(av_frame_copy(copy.get(), frame), "cannot copy a frame");
    CheckAv(av_frame_copy_props(copy.get(), frame), "cannot copy a frame");
    return copy;
}

int64_t ColourConverter::FromHost(const FilterInstance &instance, const AVFrame *decoded, FramePtr &out, RowBand band) {
    band = Checked(band);
    const int64_t changed = MarkChangedBlocks(instance, band);
    out = Unchanged(decoded);
    if (changed == 0) return 0;
    // The decoded frame may be shared with the decoder: write into a copy of our own.
    if (!av_frame_is_writable(out.get())) out = WritableCopy(out.get());
    if (fromHostDirectly_) FromHostDirectly(instance, out.get(), band);
    else FromHostScaled(instance, out.get(), band);
    return changed;
}

// The changed blocks straight into `out`.
void ColourConverter::FromHostDirectly(const FilterInstance &instance, AVFrame *out, RowBand band) const {
    const YuvPlanes target = PlanesOf(out, output_.format);
    const uint8_t *row0 = reinterpret_cast<const uint8_t *>(instance.DestinationRow(0));
    const ptrdiff_t stride = PictureRowStride(instance.DestinationRow(0), instance.DestinationRow(height_ > 1 ? 1 : 0));
    HostBlocksToYuv(target, fromHostMatrix_, changedBlocks_.data(), (width_ + blockW_ - 1) / blockW_, band.begin / blockH_,
                    (band.end + blockH_ - 1) / blockH_, row0, stride);
}

// The band through the scaler, then its changed blocks into `out`.
void ColourConverter::FromHostScaled(const FilterInstance &instance, AVFrame *out, RowBand band) {
    if (!converted_) {
        converted_.reset(av_frame_alloc());
        if (!converted_) throw HostError(EXIT_FAILURE_RUN, "out of memory");
        converted_->format = output_.format;
        converted_->width = width_;
        converted_->height = height_;
        CheckAv(av_frame_get_buffer(converted_.get(), 0), "cannot allocate a frame");
    }
    const int rows = band.end - band.begin;
    SwsContext *c = BandContext(fromHostBands_, fromHost_, rows, PictureColour{AV_PIX_FMT_BGR0, output_.matrix, true}, output_);
    // Read straight from the instance, bottom-up; BGR0's fourth byte is padding to the scaler.
    const uint8_t *src[4] = {reinterpret_cast<const uint8_t *>(instance.DestinationRow(band.begin)), nullptr, nullptr, nullptr};
    int srcStride[4] = {PictureRowStride(instance.DestinationRow(0), instance.DestinationRow(height_ > 1 ? 1 : 0)), 0, 0, 0};
    uint8_t *dst[4];
    OffsetPlanes(output_.format, converted_->data, converted_->linesize, band.begin, dst);
    sws_scale(c, src, srcStride, 0, rows, dst, converted_->linesize);
    SpliceBlocks(converted_.get(), out, band);
}

// Copies the marked blocks of `converted` into `out`, plane by plane, runs of blocks at a time.
void ColourConverter::SpliceBlocks(const AVFrame *converted, AVFrame *out, RowBand band) const {
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(output_.format);
    const int blocksX = (width_ + blockW_ - 1) / blockW_;
    const int blocksY = (height_ + blockH_ - 1) / blockH_;
    const int planes = av_pix_fmt_count_planes(output_.format);
    for (int p = 0; p < planes; ++p) {
        if (AlphaOnlyPlane(desc, p)) continue;
        bool chroma = false;
        if (!IsRgbFormat(output_.format)) {
            for (int comp = 1; comp <= 2 && comp < desc->nb_components; ++comp) chroma |= desc->comp[comp].plane == p;
        }
        const int shiftH = chroma ? desc->log2_chroma_h : 0;
        for (int by = band.begin / blockH_; by < std::min(blocksY, (band.end + blockH_ - 1) / blockH_); ++by) {
            const uint8_t *flags = changedBlocks_.data() + (size_t)by * blocksX;
            const int y0 = (by * blockH_) >> shiftH;
            const int y1 = std::min(((by + 1) * blockH_) >> shiftH, AV_CEIL_RSHIFT(height_, shiftH));
            for (int bx = 0; bx < blocksX;) {
                if (!flags[bx]) {
                    ++bx;
                    continue;
                }
                int end = bx;
                while (end < blocksX && flags[end]) ++end;
                const int x0 = bx * blockW_;
                const int x1 = std::min(end * blockW_, width_);
                const int b0 = x0 == 0 ? 0 : av_image_get_linesize(output_.format, x0, p);
                const int b1 = av_image_get_linesize(output_.format, x1, p);
                for (int y = y0; y < y1; ++y) {
                    std::memcpy(out->data[p] + (ptrdiff_t)y * out->linesize[p] + b0,
                                converted->data[p] + (ptrdiff_t)y * converted->linesize[p] + b0, (size_t)(b1 - b0));
                }
                bx = end;
            }
        }
    }
}
