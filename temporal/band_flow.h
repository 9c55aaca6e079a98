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
#include "temporal/push_pull.h"

namespace cv {
class DISOpticalFlow;
template <typename T>
class Ptr;
}  // namespace cv

namespace temporal {

struct Hole;

// A flow over a band at 1/scale of the luma resolution: entry (i, j) holds the motion (dx, dy),
// in luma pixels, of the luma point (i * scale + (scale - 1) / 2, band.top + j * scale + ...).
struct FlowField {
    int width = 0;
    int height = 0;
    int scale = 1;
    int top = 0;              // the band's first luma row
    std::vector<float> xy;    // dx, dy interleaved
};

// The motion at a luma position, interpolated bilinearly and clamped to the field's edges.
inline void FlowAt(const FlowField &f, float lx, float ly, float &dx, float &dy) {
    const float half = (f.scale - 1) * 0.5f, inv = 1.0f / (float)f.scale;
    float fx = (lx - half) * inv, fy = (ly - (float)f.top - half) * inv;
    fx = fx < 0 ? 0 : (fx > (float)(f.width - 1) ? (float)(f.width - 1) : fx);
    fy = fy < 0 ? 0 : (fy > (float)(f.height - 1) ? (float)(f.height - 1) : fy);
    const int x0 = (int)fx, y0 = (int)fy;
    const int x1 = x0 + 1 < f.width ? x0 + 1 : x0, y1 = y0 + 1 < f.height ? y0 + 1 : y0;
    const float ax = fx - (float)x0, ay = fy - (float)y0;
    const float *a = &f.xy[((size_t)y0 * f.width + x0) * 2], *b = &f.xy[((size_t)y0 * f.width + x1) * 2];
    const float *c = &f.xy[((size_t)y1 * f.width + x0) * 2], *d = &f.xy[((size_t)y1 * f.width + x1) * 2];
    dx = (1 - ay) * ((1 - ax) * a[0] + ax * b[0]) + ay * ((1 - ax) * c[0] + ax * d[0]);
    dy = (1 - ay) * ((1 - ax) * a[1] + ax * b[1]) + ay * ((1 - ax) * c[1] + ax * d[1]);
}

// An 8-bit luma image of a band, averaged down by `scale`.
struct BandImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};
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

private:
    void MarkUnknown(const Hole &hole, int reach, const FlowField &f);

    std::unique_ptr<cv::Ptr<cv::DISOpticalFlow>> dis_;
    PushPullFill fill_;
    std::vector<float> weights_;
    std::vector<uint8_t> cells_, widened_;
    std::vector<int> counts_;
};

}  // namespace temporal
