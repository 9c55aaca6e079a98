// Decoded frames as plain pictures (see temporal_frames.h).
#include "cli/temporal_fill/temporal_frames.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstring>

#include "cli/errors.h"

namespace {

constexpr int kAlign = 64;

int ColourComponents(const AVPixFmtDescriptor *d) { return d->nb_components - ((d->flags & AV_PIX_FMT_FLAG_ALPHA) ? 1 : 0); }

bool IsChroma(const AVPixFmtDescriptor *d, int component) {
    return (component == 1 || component == 2) && !(d->flags & AV_PIX_FMT_FLAG_RGB);
}

// Every colour component in a plane of its own, native-endian, 8 bits in bytes or 9 to 16 in words.
bool UsableInPlace(const AVPixFmtDescriptor *d) {
    if (d->flags & AV_PIX_FMT_FLAG_BE) return false;
    for (int c = 0; c < d->nb_components; ++c) {
        const AVComponentDescriptor &comp = d->comp[c];
        const int bytes = comp.depth > 8 ? 2 : 1;
        if (comp.offset != 0 || comp.shift != 0 || comp.step != bytes || comp.depth > 16) return false;
        for (int o = 0; o < c; ++o)
            if (d->comp[o].plane == comp.plane) return false;
    }
    return true;
}

// A sample's word as FFmpeg's own readers take it (libavutil/pixdesc.c): a byte where shift and
// depth fit in 8 bits (the low byte of a big-endian word: the caller steps one byte on), else a
// 16- or 32-bit word in the format's byte order.
int WordBytes(const AVComponentDescriptor &comp) {
    return comp.shift + comp.depth <= 8 ? 1 : comp.shift + comp.depth <= 16 ? 2 : 4;
}

template <int Word, bool BigEndian>
inline uint32_t LoadWord(const uint8_t *p) {
    if constexpr (Word == 1) return *p;
    else if constexpr (Word == 2) return BigEndian ? AV_RB16(p) : AV_RL16(p);
    else return BigEndian ? AV_RB32(p) : AV_RL32(p);
}

template <int Word, bool BigEndian>
inline void StoreWord(uint8_t *p, uint32_t v) {
    if constexpr (Word == 1) *p = (uint8_t)v;
    else if constexpr (Word == 2) {
        if (BigEndian) AV_WB16(p, v);
        else AV_WL16(p, v);
    } else {
        if (BigEndian) AV_WB32(p, v);
        else AV_WL32(p, v);
    }
}

struct RowLayout {
    int step;
    int shift;
    uint32_t mask;  // the component's codes, before the shift
    int up;         // bits the fill's sample is above the component's code
};

using SplitRowFn = void (*)(const uint8_t *src, const RowLayout &l, uint8_t *dst, int n);
using MergeRowFn = void (*)(uint8_t *dst, const RowLayout &l, const uint8_t *filled, const uint8_t *original, int n);

// One row of a component into the fill's samples of type T. The layout is read into locals
// first: stores through a byte pointer could alias it, and it would be loaded again each sample.
template <int Word, bool BigEndian, typename T>
void SplitRow(const uint8_t *src, const RowLayout &l, uint8_t *dstBytes, int n) {
    T *dst = reinterpret_cast<T *>(dstBytes);
    const int step = l.step, shift = l.shift, up = l.up;
    const uint32_t mask = l.mask;
    for (int x = 0; x < n; ++x) dst[x] = (T)(((LoadWord<Word, BigEndian>(src + (ptrdiff_t)x * step) >> shift) & mask) << up);
}

// Whole bytes `Step` apart (rgb24, bgr0, rgba, nv12, yuyv422's 8-bit samples): a gather the
// compiler unrolls with the step known.
template <int Step>
void GatherBytes(const uint8_t *src, const RowLayout &, uint8_t *dst, int n) {
    for (int x = 0; x < n; ++x) dst[x] = src[(ptrdiff_t)x * Step];
}

// The samples of a row that the fill changed back into their bits of the frame's words.
template <int Word, bool BigEndian, typename T>
void MergeRow(uint8_t *dst, const RowLayout &l, const uint8_t *filledBytes, const uint8_t *originalBytes, int n) {
    const T *filled = reinterpret_cast<const T *>(filledBytes);
    const T *original = reinterpret_cast<const T *>(originalBytes);
    const int step = l.step, shift = l.shift, up = l.up;
    const uint32_t mask = l.mask, round = up ? 1u << (up - 1) : 0u;
    for (int x = 0; x < n; ++x) {
        if (filled[x] == original[x]) continue;
        const uint32_t code = std::min<uint32_t>(((uint32_t)filled[x] + round) >> up, mask);
        uint8_t *p = dst + (ptrdiff_t)x * step;
        StoreWord<Word, BigEndian>(p, (LoadWord<Word, BigEndian>(p) & ~(mask << shift)) | (code << shift));
    }
}

template <typename T>
void PickRows(int word, bool bigEndian, SplitRowFn &split, MergeRowFn &merge) {
    switch (word * 2 + (bigEndian ? 1 : 0)) {
    case 2: split = SplitRow<1, false, T>, merge = MergeRow<1, false, T>; break;
    case 3: split = SplitRow<1, true, T>, merge = MergeRow<1, true, T>; break;
    case 4: split = SplitRow<2, false, T>, merge = MergeRow<2, false, T>; break;
    case 5: split = SplitRow<2, true, T>, merge = MergeRow<2, true, T>; break;
    case 8: split = SplitRow<4, false, T>, merge = MergeRow<4, false, T>; break;
    default: split = SplitRow<4, true, T>, merge = MergeRow<4, true, T>; break;
    }
}

// Subsampling and siting of the picture's planes. Unspecified siting is taken as MPEG-2's (chroma
// left of centre, between the rows), FFmpeg's default for 4:2:0.
void SetGeometry(const AVPixFmtDescriptor *d, AVChromaLocation location, int planes, temporal::PictureRef &p) {
    if (location == AVCHROMA_LOC_UNSPECIFIED) location = AVCHROMA_LOC_LEFT;
    int posX = 0, posY = 0;
    avcodec_enum_to_chroma_pos(&posX, &posY, location);
    for (int c = 0; c < planes; ++c) {
        const bool chroma = IsChroma(d, c);
        temporal::PlaneGeometry &g = p.geometry[c];
        g.log2X = chroma ? d->log2_chroma_w : 0;
        g.log2Y = chroma ? d->log2_chroma_h : 0;
        g.offsetX = g.log2X ? (float)posX / 256.0f : 0.0f;
        g.offsetY = g.log2Y ? (float)posY / 256.0f : 0.0f;
    }
}

uint8_t *Aligned(uint8_t *p) { return reinterpret_cast<uint8_t *>(((uintptr_t)p + kAlign - 1) & ~(uintptr_t)(kAlign - 1)); }

}  // namespace

bool TemporalFormatSupported(AVPixelFormat format, std::string *why) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
    const char *name = d ? d->name : "unknown";
    // uyyvyy411's descriptor does not place its luma (four samples in six bytes at no one step).
    bool ok = d && ColourComponents(d) > 0 && format != AV_PIX_FMT_UYYVYY411 &&
              !(d->flags & (AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_FLOAT |
                            AV_PIX_FMT_FLAG_BAYER));
    for (int c = 0; ok && c < d->nb_components; ++c) ok = d->comp[c].depth <= 16 && d->comp[c].shift + d->comp[c].depth <= 32;
    if (!ok && why)
        *why = std::string("the temporal fill works on integer samples of up to 16 bits (planar, packed or semi-planar), and the "
                           "film's pixel format is ") +
               name;
    return ok;
}

struct TemporalFrames::Component {
    int plane = 0;     // the frame's plane
    int offset = 0;    // bytes to the first sample's word in a row
    RowLayout layout{};
    SplitRowFn split = nullptr;
    MergeRowFn merge = nullptr;
};

TemporalFrames::TemporalFrames(AVPixelFormat format, int width, int height) : format_(format), width_(width), height_(height) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
    if (!d || !TemporalFormatSupported(format, nullptr))
        throw HostError(EXIT_FAILURE_RUN, "internal error: the temporal fill was given an unsupported pixel format");
    planeCount_ = std::min(ColourComponents(d), temporal::kMaxPlanes);
    inPlace_ = UsableInPlace(d);
    fillDepth_ = 1;
    for (int c = 0; c < planeCount_; ++c) fillDepth_ = std::max(fillDepth_, (int)d->comp[c].depth);
    if (inPlace_) return;
    components_ = std::make_unique<Component[]>((size_t)planeCount_);
    const int bytes = fillDepth_ > 8 ? 2 : 1;
    ptrdiff_t size = 0;
    for (int c = 0; c < planeCount_; ++c) {
        const AVComponentDescriptor &comp = d->comp[c];
        const bool chroma = IsChroma(d, c);
        const int w = AV_CEIL_RSHIFT(width, chroma ? d->log2_chroma_w : 0);
        const int h = AV_CEIL_RSHIFT(height, chroma ? d->log2_chroma_h : 0);
        strides_[c] = FFALIGN((ptrdiff_t)w * bytes, kAlign);
        offsets_[c] = size;
        size += strides_[c] * h;
        Component &k = components_[(size_t)c];
        const int word = WordBytes(comp);
        const bool bigEndian = (d->flags & AV_PIX_FMT_FLAG_BE) != 0;
        k.plane = comp.plane;
        k.offset = comp.offset + (word == 1 && bigEndian ? 1 : 0);
        k.layout = RowLayout{comp.step, comp.shift, (uint32_t)((1ull << comp.depth) - 1), fillDepth_ - comp.depth};
        if (bytes == 1) PickRows<uint8_t>(word, bigEndian, k.split, k.merge);
        else PickRows<uint16_t>(word, bigEndian, k.split, k.merge);
        if (bytes == 1 && word == 1 && comp.shift == 0 && comp.depth == 8) {
            switch (comp.step) {
            case 1: k.split = GatherBytes<1>; break;
            case 2: k.split = GatherBytes<2>; break;
            case 3: k.split = GatherBytes<3>; break;
            case 4: k.split = GatherBytes<4>; break;
            default: break;
            }
        }
    }
    planeBufferSize_ = (size_t)size + kAlign;
}

TemporalFrames::~TemporalFrames() = default;

temporal::PictureRef TemporalFrames::View(const AVFrame *frame) const {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get((AVPixelFormat)frame->format);
    temporal::PictureRef p;
    p.planeCount = planeCount_;
    p.maxValue = (1 << fillDepth_) - 1;
    SetGeometry(d, frame->chroma_location, planeCount_, p);
    // Planes go in component order so that the first is luma (Y, or R of planar RGB), which the
    // motion is measured on.
    for (int c = 0; c < planeCount_; ++c) {
        const AVComponentDescriptor &comp = d->comp[c];
        temporal::PlaneRef &plane = p.planes[c];
        plane.data = frame->data[comp.plane];
        plane.stride = frame->linesize[comp.plane];
        plane.width = AV_CEIL_RSHIFT(frame->width, p.geometry[c].log2X);
        plane.height = AV_CEIL_RSHIFT(frame->height, p.geometry[c].log2Y);
        plane.bytes = comp.depth > 8 ? 2 : 1;
    }
    return p;
}

temporal::PictureRef TemporalFrames::Layout(uint8_t *data, const AVFrame *siting) const {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format_);
    temporal::PictureRef p;
    p.planeCount = planeCount_;
    p.maxValue = (1 << fillDepth_) - 1;
    SetGeometry(d, siting ? siting->chroma_location : AVCHROMA_LOC_UNSPECIFIED, planeCount_, p);
    for (int c = 0; c < planeCount_; ++c) {
        temporal::PlaneRef &plane = p.planes[c];
        plane.data = data + offsets_[c];
        plane.stride = strides_[c];
        plane.width = AV_CEIL_RSHIFT(width_, p.geometry[c].log2X);
        plane.height = AV_CEIL_RSHIFT(height_, p.geometry[c].log2Y);
        plane.bytes = fillDepth_ > 8 ? 2 : 1;
    }
    return p;
}

BufferPtr TemporalFrames::Buffer() {
    BufferPtr b(av_buffer_alloc(planeBufferSize_));
    if (!b) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    return b;
}

void TemporalFrames::Split(const AVFrame *frame, FillPicture &out) {
    out.Reset();
    out.planes = Buffer();
    out.ref = Layout(Aligned(out.planes->data), frame);
    for (int c = 0; c < planeCount_; ++c) {
        const Component &k = components_[(size_t)c];
        const temporal::PlaneRef &plane = out.ref.planes[c];
        const uint8_t *src = frame->data[k.plane] + k.offset;
        for (int y = 0; y < plane.height; ++y)
            k.split(src + (ptrdiff_t)y * frame->linesize[k.plane], k.layout, plane.data + (ptrdiff_t)y * plane.stride, plane.width);
    }
}

FramePtr TemporalFrames::WritableCopy(const AVFrame *frame) {
    FramePtr copy(av_frame_alloc());
    if (!copy) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    copy->format = frame->format;
    copy->width = frame->width;
    copy->height = frame->height;
    CheckAv(av_frame_get_buffer(copy.get(), 0), "cannot allocate a frame");
    CheckAv(av_frame_copy(copy.get(), frame), "cannot copy a frame");
    CheckAv(av_frame_copy_props(copy.get(), frame), "cannot copy a frame's properties");
    return copy;
}

void TemporalFrames::Decoded(const AVFrame *frame, FillPicture &out) {
    if (!out.Empty()) return;
    if (inPlace_) out.ref = View(frame);
    else Split(frame, out);
}

void TemporalFrames::Writable(const AVFrame *frame, const FillPicture &decoded, FillPicture &out) {
    out.Reset();
    if (inPlace_) {
        out.frame = WritableCopy(frame);
        out.ref = View(out.frame.get());
        return;
    }
    out.planes = Buffer();
    out.ref = decoded.ref;
    uint8_t *data = Aligned(out.planes->data);
    for (int c = 0; c < planeCount_; ++c) {
        temporal::PlaneRef &plane = out.ref.planes[c];
        const uint8_t *from = plane.data;
        plane.data = data + offsets_[c];
        std::memcpy(plane.data, from, (size_t)(plane.stride * plane.height));
    }
}

void TemporalFrames::Adopt(FramePtr frame, FillPicture &out) {
    out.Reset();
    if (!inPlace_) return Split(frame.get(), out);
    out.ref = View(frame.get());
    out.frame = std::move(frame);
}

FramePtr TemporalFrames::Finish(const AVFrame *decoded, const FillPicture &decodedPicture, const FillPicture &filled) {
    if (inPlace_) return CloneFrame(filled.frame.get());
    FramePtr out = WritableCopy(decoded);
    for (int c = 0; c < planeCount_; ++c) {
        const Component &k = components_[(size_t)c];
        const temporal::PlaneRef &after = filled.ref.planes[c], &before = decodedPicture.ref.planes[c];
        const size_t rowBytes = (size_t)after.width * (size_t)after.bytes;
        uint8_t *dst = out->data[k.plane] + k.offset;
        for (int y = 0; y < after.height; ++y) {
            const uint8_t *a = after.data + (ptrdiff_t)y * after.stride, *b = before.data + (ptrdiff_t)y * before.stride;
            if (std::memcmp(a, b, rowBytes) == 0) continue;
            k.merge(dst + (ptrdiff_t)y * out->linesize[k.plane], k.layout, a, b, after.width);
        }
    }
    return out;
}
