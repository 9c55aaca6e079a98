// A subtitle on a translucent box (libass BorderStyle 3 or 4 with a translucent back colour) is
// not a hole: every box pixel still shows the picture, blended with the box's colour,
//     burnt = picture * (1 - a) + colour * a,
// so the picture comes back as (burnt - colour * a) / (1 - a). Only the glyphs (and what the
// blend clipped) hide it and need a fill.
//
// Finding the box (BoxEstimator), from the film's frames alone, around the subtitle's hole:
//   1. Top and bottom. For every row boundary near the hole's top and bottom, the step across it
//      (inside minus outside) is taken as the median along the middle half of the hole's
//      columns. A box's side steps the same way along its whole length; the glyphs' edges do not,
//      and lose the median. Of the three strongest steps over two boundaries (a side's step may
//      be split over a soft pixel) for each side, in the darker-inside or lighter-inside reading
//      whose weaker side is stronger, the pair whose pixels across agree best with one blend
//      (step 2) wins: a horizon or a window's edge along the box can step as hard as the box.
//   2. Opacity and colour. Pixels past the soft edge on both sides see nearly the same picture:
//      inside = (1 - a) * outside + colour * a. Each side's picture is carried on linearly (from
//      the samples one and two past the soft edge) to the point halfway between, so the
//      picture's own slope across the side does not read as the box's. The slope is the median of
//      the slopes between pairs far apart in value (sorted by the outer value and paired half a
//      list apart), so picture edges and glyphs across the side are outvoted and the slope is not
//      pulled flat as a least-squares fit of noisy values would be; each plane's intercept is
//      the median of inside - slope * outside over its own pairs.
//   3. Left and right, along the rows between, where a glyph's stem can fill half the rows and
//      step harder than the box: only rows whose pixels across fit step 2's blend count.
//   4. The soft edge: boundaries beside a side's peak that still step by a quarter of it
//      (libass's anti-aliasing, the codec's blur); each soft row or column's opacity is the
//      median share of the full step it makes. Then step 2 again over all four sides.
//   A box is taken only when all four sides step, the opacity lies in [0.1, 0.9] and half the
//   pairs agree with the fit within 8 levels; above 0.9 the box hides the picture and stays a
//   hole for the fill.
//
// Restoring (BoxUnblend), each frame: every sample under the box (with its own opacity on the
// soft edge, a chroma sample the mean of its luma pixels' opacities) is un-blended, except where
// the un-blended value leaves the sample range (glyphs, their outline, and samples the blend
// clipped at 0 or the top), grown by a pixel or two for the glyphs' anti-aliasing. Those keep the
// fill's output where the fill's hole holds the whole box (its seam then matched it to the
// picture outside the box); otherwise they are repainted from the un-blended samples around
// them (push-pull), since a repaint matched to the box's darkened pixels is darkened too.
//
// Cost: the estimate reads each side's band twice per frame given (tens of thousands of samples
// for a 720p subtitle) and sorts its pairs in up to eleven fits (nine for top and bottom); un-blending is a few operations per
// sample of the box's rectangle per plane, the repaint a push-pull over that rectangle. All
// scratch is kept in the objects, so a steady size allocates nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "temporal/planes.h"
#include "temporal/push_pull.h"

namespace temporal {

// A rectangle of the luma grid, [x0, x1) x [y0, y1).
struct GridRect {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool Empty() const { return x1 <= x0 || y1 <= y0; }
};

constexpr int kBoxMaxRamp = 4;

struct BoxBlend {
    bool found = false;
    GridRect interior;  // the pixels at the box's full opacity
    // Opacity fractions of the soft edge's rows and columns past the interior, nearest first:
    // sides left, top, right, bottom.
    float ramp[4][kBoxMaxRamp] = {};
    int rampLength[4] = {};
    float alpha = 0.0f;                 // the box's opacity
    float tint[kMaxPlanes] = {};        // colour * alpha, in each plane's codes
    // The opacity share (0 to 1) of luma pixel (x, y): 1 inside, the ramps' product on the edge.
    float Coverage(int x, int y) const;
    // The box with its soft edge: every pixel of non-zero coverage.
    GridRect Extent() const;
};

struct BoxSettings {
    int minSide = 8;         // interior pixels at least, each way
    float minStep = 6.0f;    // the weakest side's median step, in 8-bit levels
    float minAlpha = 0.1f;   // fainter than this is no box worth un-blending
    float maxAlpha = 0.9f;   // more opaque: a solid box, left to the fill
    float minAgree = 0.5f;   // share of pairs within 8 levels of the fit
};

class BoxEstimator {
public:
    explicit BoxEstimator(BoxSettings settings = {}) : settings_(settings) {}
    // The box around `hole` (the subtitle's hole, luma grid) in `pictures` (frames showing the
    // subtitle, all of one size and format). `out.found` is false when there is none.
    void Estimate(const PictureRef *const *pictures, int count, const GridRect &hole, BoxBlend &out);

private:
    void SideProfile(const PictureRef *const *pictures, int count, int side, const GridRect &hole, int margin,
                     const BoxBlend &box, bool fitted);
    float Strongest(int side, int sign) const;
    static constexpr int kCandidates = 3;
    bool PickRows(const PictureRef *const *pictures, int count, int sign, BoxBlend &out);
    int Candidates(int side, int sign, int *peaks) const;
    bool SetSide(const PictureRef *picture, int side, int sign, int peak, BoxBlend &out);
    void MeasureRamps(const PictureRef *const *pictures, int count, BoxBlend &out);
    bool FitBlend(const PictureRef *const *pictures, int count, BoxBlend &out, int sides);
    void GatherPairs(const PictureRef &picture, int plane, const BoxBlend &box, int sides);

    BoxSettings settings_;
    int t0_[4] = {};  // each side's first candidate boundary
    float agree_share_ = 0.0f;  // the last fit's share of pairs that agree with it
    std::vector<float> line_, agree_, profile_[4], fitted_[4];  // a line's steps; each side's median step per boundary
    std::vector<float> outer_, inner_, slopes_;
    std::vector<int> order_;
};

class BoxUnblend {
public:
    // Un-blends `box` from `burnt` into `out` (same size and format; `out` holds the fill's
    // output). `hole`: one byte per luma pixel, non-zero in the fill's hole. `dilate`: pixels the
    // glyphs' mask grows by. Returns the samples changed.
    int64_t Apply(const PictureRef &burnt, const PictureRef &out, const BoxBlend &box, const uint8_t *hole,
                  int dilate);

private:
    void MarkGlyphs(const PictureRef &burnt, const BoxBlend &box, const GridRect &roi);
    void Dilate(const GridRect &roi, int dilate);
    int64_t RestorePlane(const PictureRef &burnt, const PictureRef &out, int plane, const BoxBlend &box,
                         const GridRect &roi, bool keepFill);

    std::vector<uint8_t> glyph_, grown_;
    std::vector<float> values_, weights_;
    PushPullFill pushPull_;
};

}  // namespace temporal
