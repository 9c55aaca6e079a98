// Translucent boxes in the temporal and the spatial fill (--radius auto only: with the module's
// own settings the output stays the module's). In the temporal fill, after a chunk is filled,
// each subtitle's box (if it has one) is measured from the chunk's own frames that show it, and
// every such frame's box is un-blended from the decoded picture into the filled one
// (temporal/box_unblend.h); the fill's repaint is kept only for the glyphs. Only the chunk's
// frames are read, and chunks are cut the same way whatever the thread count, so the output does
// not depend on --threads.
//
// Cost per chunk and subtitle: one scan of the hole's mask for its rectangle, the estimate over
// at most kBoxSamples frames, then the un-blending of each frame's box.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "cli/temporal_fill/temporal_frames.h"
#include "temporal/box_unblend.h"

constexpr int kBoxSamples = 8;

// One frame of a chunk as the box restoration sees it.
struct BoxFrame {
    int entry = -1;                           // its subtitle; -1: none
    const temporal::PictureRef *burnt = nullptr;  // the decoded picture
    const uint8_t *hole = nullptr;            // the fill's hole of its subtitle, one byte a pixel
};

class BoxRestore {
public:
    // Measures the box of every subtitle that `frames` show, from up to kBoxSamples of them,
    // spread evenly over the frames that show it.
    void Measure(const std::vector<BoxFrame> &frames, int width, int height);
    // Un-blends `frame`'s box into `out` (its filled picture); 0 when its subtitle has none.
    int64_t Restore(const BoxFrame &frame, const temporal::PictureRef &out, int height);
    // The measured box of `entry`; null when it has none.
    const temporal::BoxBlend *BoxOf(int entry) const;

private:
    std::vector<std::pair<int, temporal::BoxBlend>> boxes_;
    std::vector<const temporal::PictureRef *> samples_;
    temporal::BoxEstimator estimator_;
    temporal::BoxUnblend unblend_;
};

// The rectangle (luma grid) of the non-zero bytes of `mask`; empty when there are none.
temporal::GridRect MaskRect(const uint8_t *mask, int width, int height);

// The spatial fill's translucent boxes (--radius auto): each frame's box is measured from that
// frame alone, the only one its worker sees (any other choice would tie the output to how frames
// are shared out between threads), and its glyphs are repainted from the un-blended box around
// them rather than kept from the module's repaint, which comes from the ring around the hole.
// The subtitle's place is where the module changed the frame. Cost per subtitled frame: one
// comparison of the two frames' luma, then the estimate and the un-blending.
class SpatialBoxes {
public:
    // Null unless the film's frames are planar (used in place) and the output keeps their format.
    static std::unique_ptr<SpatialBoxes> For(AVPixelFormat decoded, AVPixelFormat output, int width, int height);
    SpatialBoxes(AVPixelFormat format, int width, int height);
    // Un-blends the box of the subtitle in `filtered` (the module's output for `decoded`).
    void Restore(const AVFrame *decoded, FramePtr &filtered);

private:
    TemporalFrames frames_;
    BoxRestore restore_;
    std::vector<uint8_t> hole_;
    std::vector<BoxFrame> one_;
    int width_, height_;
};
