// Where the temporal fill is the worse choice, by measure: how well it continues the picture on
// the ring around the hole, how much the picture varies there, and how far it is from the spatial
// repaint inside the hole.
//
// Why: the motion is unsure on flat, dark or noisy pictures, and a background brought from other
// pictures may then be misplaced or hold what has since moved on; the carried previous output
// (chunk_fill.h), which no check guards, may drag a bright line across a dark drawing. The
// spatial repaint, smooth by nature, is then the better guess, and on a flat surface it is nearly
// exact. Which one is better cannot be seen in the hole, but the ring around it is seen, and the
// passes brought the background there as they did into the hole.
//
// How, on the luma plane, over blocks of 16x16 luma pixels:
//   - t², the temporal fill's error: on the ring samples that got a temporal value, the spread of
//     picture - temporal over the block (from the median of its deviations, so that a speck or
//     the text's outline on a few ring samples does not count, and so that the seam's offset,
//     which the seam correction removes, does not either);
//   - h², the picture's own variance on the block's ring: what a smooth repaint cannot know;
//   - D², the mean (temporal - spatial)² over the block's hole samples, for propagated and for
//     carried values apart. With errors that do not depend on each other, D² = t² + s², s² being
//     the repaint's error; so s² = D² - t²;
//   - the repaint's own mistakes: where its mean over the block strays from the ring's by more
//     than the ring's spread, it took its colour from the text's outline or shadow beyond a
//     narrow hole, and s² is at least that stray (less h²);
//   - for carried values, where the repaint keeps within the ring's range (its mean, give or take
//     twice its deviation), the repaint's error is taken as at most twice h², and what D² holds
//     beyond is the carried value's error: on a flat picture a clean repaint cannot be far wrong,
//     and a temporal fill that strays far from it is (a bright line dragged across a dark
//     drawing). A repaint that strays beyond the ring's range (white remnants of a missed stroke)
//     bounds nothing;
//   - t² and h² lose the picture's noise (PictureNoise, propagate.h), which no fill can know; they
//     and the ring's mean are filled into the blocks without ring by push-pull.
// The temporal share of a block: whole where s² >= 8 t²; s² / (s² + t²), the blend of the two with
// the least expected error, where s² <= 4 t²; a ramp between. The errors of the two fills are not
// independent where both miss the same fine detail, and blending a good temporal fill with a
// repaint four times worse lost 0.8 dB on the benchmark's paragliding clip: a clearly better
// temporal fill stays whole. The shares are filled into blocks without a hole sample by push-pull
// and interpolated bilinearly between block centres, so the blend has no block edges; every plane
// takes the share at its samples' luma positions.
//
// The repaint is asked for only where a blend could matter: where some hole sample was carried,
// or a propagated one lies in a block whose t² exceeds a floor.
//
// Cost per picture: a pass over the luma plane's hole and ring samples, medians over each block's
// ring samples, push-pulls over the grid of blocks (a few hundred entries); where the repaint is
// asked for, the module's repaint of the picture (made by the host) and a pass over the hole
// samples of each plane. The scratch is kept: a steady size allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "temporal/hole.h"
#include "temporal/planes.h"
#include "temporal/push_pull.h"

namespace temporal {

class FillJudge {
public:
    static constexpr int kBlock = 16;
    static constexpr int kKinds = 2;  // temporal values: 1 propagated, 2 carried

    // Measures the ring of `ph` (the luma plane's hole) on `picture`: `values` per fill sample of
    // `ph` (the temporal fill, the ring's as the passes brought it), `temporal` 1 where the value
    // was propagated, 2 where it was carried, 0 elsewhere. `noise` and `floor` are in the plane's
    // codes, `level` is one 8-bit level in them. True when the spatial repaint should be weighed
    // (see the top).
    bool Measure(const PlaneRef &picture, const PlaneHole &ph, const float *values, const uint8_t *temporal, float noise,
                 float floor, float level);
    // Weighs the luma plane's spatial repaint against the temporal values of the hole, after
    // Measure returned true.
    void Weigh(const PlaneRef &spatial, const PlaneHole &ph, const float *values, const uint8_t *temporal);
    // Blends the hole samples of any plane (geometry `g`) whose value is temporal with the spatial
    // repaint `spatial`, by the shares Weigh found. Returns the hole samples that took more of the
    // repaint than of the temporal fill.
    int64_t Blend(const PlaneRef &spatial, const PlaneHole &ph, const PlaneGeometry &g, float *values,
                  const uint8_t *temporal) const;
    void Clear() { weighed_ = false; }
    bool Weighed() const { return weighed_; }

private:
    size_t BlockOf(const PlaneHole &ph, size_t k) const;
    double Stray(double v, const float *field) const;
    float ShareAt(int kind, float lx, float ly) const;

    int x0_ = 0, y0_ = 0, w_ = 0, h_ = 0;  // the grid: block (0, 0) starts at luma (x0_, y0_)
    bool weighed_ = false;
    double noise2_ = 0.0, level2_ = 1.0;
    std::vector<double> sums_;   // per block, see Sum in the source
    std::vector<float> error_;   // per block: t², h² and the ring's mean
    std::vector<float> weight_;  // per block, for the push-pulls
    std::vector<float> share_;   // per kind, per block: the temporal share
    std::vector<size_t> starts_, cursor_;  // the ring's differences of block b: [starts_[b], starts_[b + 1])
    std::vector<float> differences_;
    PushPullFill fill_;
};

}  // namespace temporal
