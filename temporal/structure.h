// Which way the picture's edges run, for the forward-backward check of the motion.
//
// Why: along a stripe or a long edge the flow cannot tell how far the picture moved (the aperture
// problem): the two directions of a pair may disagree along the edge by several pixels, and the
// check would reject a source whose fetch, moved along the edge, lands on nearly the same value.
// Measured on the removal benchmark (radius 5): the moving card's flicker 1.20 -> 1.15 (its edges
// run along its motion), the grain 29.21 -> 29.59 dB; the pans, the cut and the zoom within
// 0.01 dB (the zoom's misses, tens of pixels in DIS's flow over dark streaks, are not along edges
// that dominate).
//
// How: the structure tensor of the 8-bit luma band: central-difference gradients, their products
// summed over a (2r+1) x (2r+1) box with running sums. At a point, the tensor's main eigenvector
// is the direction n across the edge, and the coherence (l1 - l2) / (l1 + l2 + flat) says how
// much that direction dominates; `flat` keeps areas without an edge (whose direction means
// nothing) near 0. What is kept is the tensor's shape, ((a - c), 2b) / (a + c + flat) in 8 bits
// per component, at every other pixel each way: the box is 7 pixels wide, and a chunk holds a few
// hundred pictures.
//
// Cost: about 15 operations per band pixel per picture; half a byte kept per band pixel.
#pragma once

#include <cstdint>
#include <vector>

#include "temporal/band_flow.h"

namespace temporal {

// Entry (i, j) describes luma pixel (2i, top + 2j).
struct StructureField {
    int width = 0;
    int height = 0;
    int top = 0;                 // the band's first luma row
    std::vector<int8_t> shape;   // per entry: (a - c) and 2b over (a + c + flat), times 127
};

// Measures fields with scratch kept between calls: a steady band size allocates nothing.
class StructureMeter {
public:
    // The tensor of a band image at luma scale 1 (MakeBandImage with scale 1), over boxes of
    // radius `r`.
    void Measure(const BandImage &image, int top, int r, StructureField &out);

private:
    void RowSums(const BandImage &image, int y, int r, float *row);
    std::vector<float> products_, ring_, column_;
};

// At luma point (x, y) (nearest entry, clamped into the band): the coherence in [0, 1], and
// (u, v) = (cos 2a, sin 2a) with a the angle of the direction across the edge. Doubled angles
// need no trigonometry: the square of a vector e's part across the edge is
// (|e|^2 + u (ex^2 - ey^2) + 2 v ex ey) / 2.
void StructureAt(const StructureField &f, float x, float y, float &u, float &v, float &coherence);

}  // namespace temporal
