// Decoded FFmpeg frames as the temporal fill's plain pictures: one plane per colour component, in
// the frame's own codes, with the chroma planes' subsampling and siting. Alpha is never one of
// them: the fill does not touch it, and it comes out as decoded.
//
// A planar film of native-endian samples (yuv420p, yuv422p10le, gbrp, gray...) is used in place:
// the fill reads the decoded frame's planes and writes into a copy of the frame. Every other
// integer format is split into planes of its own: packed RGB and YUV with or without alpha
// (rgb24, bgr0, rgba, yuyv422, y210le, rgb48be, ya16be, x2rgb10le...), semi-planar NV12, NV21,
// NV16, P010 and their kin, big-endian words, gray with alpha, RGB of under 8 bits (rgb565,
// rgb8). The split copies the same codes into a planar layout (no colour conversion), driven by
// FFmpeg's pixel-format descriptors (each component's plane, step, offset, shift and depth) rather
// than a case per format. The finished frame is the decoded frame with only the samples the fill
// changed written back, each into its own bits: every other sample, alpha and padding bits are
// the decoded ones, bit for bit. Where components differ in depth (rgb565's 5-6-5), the narrower
// ones are shifted up to the widest on the way in and rounded back on the way out.
//
// Cost: the split is a scalar loop, one load, shift and mask a sample (whole bytes a gather with
// the step known); for a 720x576 frame here 0.03 ms for nv12, 0.08 yuyv422, 0.12 rgba and bgr0,
// 0.8 rgb24, 1.0 rgb48be. It runs once for each frame a chunk's window looks at and for each
// spatial repaint. The copy the fill writes into and the write-back, which compares rows whole
// before it looks at their samples, take 0.1 to 0.4 ms a filled frame. Memory: a planar copy of
// each frame held for the window, beside the packed frame. Buffers are picture-sized blocks of
// the process's heap, which keeps them for reuse by any thread (see main.cpp); per-worker buffer
// pools were tried and held 90 to 120 MiB more at peak on the benchmark's 720x576 pan with two
// threads (gbrp and rgb24), at the same speed.
#pragma once

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <cstdint>
#include <memory>
#include <string>

#include "cli/av_util.h"
#include "temporal/planes.h"

// True when the temporal fill can work on `format`: integer samples of up to 16 bits, in any
// layout but bit-packed, paletted or Bayer. Else `why` says what it is.
bool TemporalFormatSupported(AVPixelFormat format, std::string *why);

struct AVBufferDeleter {
    void operator()(AVBufferRef *b) const { av_buffer_unref(&b); }
};
using BufferPtr = std::unique_ptr<AVBufferRef, AVBufferDeleter>;

// A picture the fill reads or writes: planes of a frame in place, or planes split out of one.
struct FillPicture {
    FramePtr frame;     // in place: the frame whose planes `ref` shows, when this holds one
    BufferPtr planes;   // split: the storage of `ref`'s planes
    temporal::PictureRef ref;
    bool Empty() const { return ref.planeCount == 0; }
    void Reset() {
        frame.reset();
        planes.reset();
        ref = temporal::PictureRef();
    }
};

// The pictures of one film's frames (format and size fixed), for one worker: not shared
// between threads.
class TemporalFrames {
public:
    // `format` must be supported.
    TemporalFrames(AVPixelFormat format, int width, int height);
    ~TemporalFrames();
    TemporalFrames(const TemporalFrames &) = delete;
    TemporalFrames &operator=(const TemporalFrames &) = delete;

    // True when the film's frames are used in place, false when they are split. Plane p of a
    // picture is the format's component p either way (alpha is the last component).
    bool InPlace() const { return inPlace_; }

    // The decoded `frame` as the fill reads it; `out` keeps what it needs (nothing in place: the
    // frame must outlive it).
    void Decoded(const AVFrame *frame, FillPicture &out);
    // A picture for the fill to write frame `frame`'s output into, holding `decoded`'s samples
    // (`decoded` is `frame` as Decoded gave it).
    void Writable(const AVFrame *frame, const FillPicture &decoded, FillPicture &out);
    // A frame made elsewhere (the module's repaint) as the fill reads it.
    void Adopt(FramePtr frame, FillPicture &out);
    // Frame `decoded`'s output in the film's format: `filled` (a Writable picture the fill wrote
    // into) with every sample the fill did not change the decoded one. `decodedPicture` is what
    // Decoded gave for `decoded`.
    FramePtr Finish(const AVFrame *decoded, const FillPicture &decodedPicture, const FillPicture &filled);

private:
    struct Component;
    temporal::PictureRef View(const AVFrame *frame) const;
    temporal::PictureRef Layout(uint8_t *data, const AVFrame *siting) const;
    void Split(const AVFrame *frame, FillPicture &out);
    BufferPtr Buffer();
    FramePtr WritableCopy(const AVFrame *frame);

    AVPixelFormat format_;
    int width_;
    int height_;
    bool inPlace_ = true;
    int planeCount_ = 0;  // colour components: alpha left out
    int fillDepth_ = 8;   // bits of the fill's samples: the widest component's
    std::unique_ptr<Component[]> components_;
    // Split planes: one buffer a picture, each plane's rows `strides_[p]` bytes apart from
    // `offsets_[p]` on (after the buffer's start rounded up to 64 bytes).
    ptrdiff_t offsets_[temporal::kMaxPlanes] = {};
    ptrdiff_t strides_[temporal::kMaxPlanes] = {};
    size_t planeBufferSize_ = 0;
};
