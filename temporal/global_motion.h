// The camera's motion over a band, which replaces the measured flow wherever it explains the
// pictures as well.
//
// Why: DIS matches patches one by one. Where the picture has little texture (dark streaks, sky,
// grain) its matches wander, the two directions of a pair disagree, and the check rejects the
// sources; on the benchmark's zoom the frame just before a subtitle, which shows all of its
// background, gave the subtitle's first frame 6 % of the hole. When the camera moves, one affine
// motion describes most of the band, as well inside the hole as around it.
//
// How: an affine motion is fitted to the flow's known entries (outside the holes and their
// margin) by least squares reweighted by the residuals, from the median motion (Cauchy weights, scale
// from their median; the last round leaves out entries beyond 2.5 scales), each component on its own: three unknowns,
// a 3x3 solve, five rounds, over every other entry each way. Then both motions are
// judged on the pictures themselves, place by place: at each known entry, the absolute difference
// between the first band image and the second fetched along each motion, summed over a box of
// entries. Where the camera's sum is at most `factor` times the flow's, the entry takes the
// camera's motion: a camera move, a still shot, grain. Where something moves on its own (a card
// crossing the picture) the flow matches better and stays. The hole's entries are then completed
// from these as before, so a still background next to a moving thing keeps its own motion.
//
// Measured on the removal benchmark (radius 5, damaged pixels): zoom 25.4 -> 39.8 dB and flicker
// 1.44 -> 0.70; grain 29.6 -> 34.6; cut 43.5 -> 44.1; pan 47.6 -> 48.2; the card 26.1 -> 26.2.
//
// A still camera: DIS's flow over a noisy picture, or one crossed by specks (rain, snow, dust),
// wanders by a pixel or so, and the fit follows it (a third of a pixel to a pixel and a half on a
// still test scene with sensor noise and specks). When no motion at all explains the pictures as
// well as the fitted one, the camera is still: the motion is set to none before the choice, and the
// sources of a still shot are where they were.
//
// Cost: five passes over a quarter of the field's entries for the fit, and one with three
// fetches per entry over a quarter for the still camera; three bilinear fetches per entry and two
// summed-area tables for the choice; the scratch is kept, so a steady size allocates nothing.
#pragma once

#include <vector>

#include "temporal/flow_field.h"

namespace temporal {

// dx = c[0] + c[1] x + c[2] y, dy = c[3] + c[4] x + c[5] y, in luma pixels at luma point (x, y).
struct AffineMotion {
    float c[6] = {0, 0, 0, 0, 0, 0};
    void At(float x, float y, float &dx, float &dy) const {
        dx = c[0] + c[1] * x + c[2] * y;
        dy = c[3] + c[4] * x + c[5] * y;
    }
};

class GlobalMotion {
public:
    // Fits `out` to the entries of `f` whose weight is 1 (all, when `weights` is null); false when
    // fewer than a few dozen entries are known or the fit is degenerate.
    bool Fit(const FlowField &f, const float *weights, AffineMotion &out);

    // True when the pictures differ no more along no motion at all than along `model`, summed
    // over every other known entry of `f` each way: a still camera, whose flow the picture's noise
    // and passing specks only made wander, is then still.
    bool Still(const BandImage &from, const BandImage &to, int scale, const AffineMotion &model, const float *weights,
               const FlowField &f) const;

    // Each known entry of `f` takes `model`'s motion where, summed over the entries within `reach`,
    // the pictures differ along it no more than `factor` times as much as along `f`.
    void ChooseByPlace(const BandImage &from, const BandImage &to, int scale, const AffineMotion &model, float factor,
                       int reach, const float *weights, FlowField &f);

private:
    bool Solve(const FlowField &f, const float *weights, float sigma, bool last, double coef[2][3]);
    float Scale(const FlowField &f, const float *weights, const double coef[2][3]);
    std::vector<float> residuals_, scratch_;
    std::vector<double> sums_[2];
};

}  // namespace temporal
