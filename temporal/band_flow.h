// Dense motion between two pictures, measured only in a band of rows around the subtitles.
//
// How: the luma rows of the band are averaged down by `scale` into 8-bit images, and OpenCV's DIS
// optical flow (patch inverse search over a pyramid, with variational refinement) measures where
// each point of one image went in the other. Inside the hole the text stands still while the
// picture moves, so the flow there measures the text: it is thrown away over the hole and a
// margin and completed from the flow around it: column by column between the flow above and below
// (column_fill.h), push-pull (push_pull.h) where a column has no flow on one side. Flows are kept
// in luma pixels of the full picture.
//
// Cost: DIS's ultrafast preset runs at roughly a few hundred megapixels per second on one core;
// at scale 2 a 720-wide band of 200 rows is 36 thousand pixels, well under a millisecond.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "temporal/planes.h"
#include "temporal/flow_field.h"
#include "temporal/global_motion.h"
#include "temporal/push_pull.h"

namespace cv {
class DISOpticalFlow;
template <typename T>
class Ptr;
}  // namespace cv

namespace temporal {

struct Hole;

void MakeBandImage(const PlaneRef &luma, int maxValue, Band band, int scale, BandImage &out);

class BandFlow {
public:
    // `preset`: 0 ultrafast, 1 fast, 2 medium (OpenCV's DIS presets).
    explicit BandFlow(int preset);
    ~BandFlow();
    BandFlow(const BandFlow &) = delete;
    BandFlow &operator=(const BandFlow &) = delete;

    // The motion from `from` to `to` (where each point of `from` is in `to`), completed inside
    // the holes of both pictures (either may be null) widened by `margin` luma pixels: the text
    // stands still on the screen, so where either picture shows it the measure is of the text.
    void Measure(const BandImage &from, const BandImage &to, const Hole *fromHole, const Hole *toHole, int margin,
                 Band band, int scale, FlowField &out);

    // Between FixHoles(true) and FixHoles(false) the caller promises that no Hole given to Measure
    // changes or moves, so the cells each hole makes unknown are worked out once (a hole's
    // samples cost about as much as the rest of the completion, and a chunk's pairs share a few
    // holes). Outside, every Measure works them out again.
    void FixHoles(bool fixed);

private:
    void MarkUnknown(const Hole &hole, int reach, const FlowField &f);
    const uint8_t *UnknownCells(const Hole &hole, int reach, const FlowField &f);
    void PreferCamera(const BandImage &from, const BandImage &to, int scale, const float *known, FlowField &out);

    std::unique_ptr<cv::Ptr<cv::DISOpticalFlow>> dis_;
    GlobalMotion global_;
    PushPullFill fill_;
    std::vector<float> weights_;
    std::vector<uint8_t> cells_, widened_;
    std::vector<int> counts_;
    // The unknown cells of each hole seen since FixHoles(true); kept for reuse of their storage.
    struct Unknown {
        const Hole *hole = nullptr;  // null: free
        int reach = 0, width = 0, height = 0, scale = 0, top = 0;
        std::vector<uint8_t> cells;
    };
    std::vector<Unknown> unknown_;
    size_t unknownUsed_ = 0;
    bool holesFixed_ = false;
};

}  // namespace temporal
