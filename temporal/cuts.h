// Shot cuts: a picture that does not continue the one before it. Nothing is carried across one.
//
// How: each picture gets a signature from its luma plane, sampled on a sparse grid: a 16x16
// thumbnail of cell averages and a 32-bin histogram, both on an 8-bit scale. Two pictures are
// cut apart when their thumbnails differ on average by more than `thumbnail` codes, or their
// histograms share less than 1 - `histogram` of their mass. Motion moves detail within the cells
// and leaves the histogram; a fade changes both a little at each step; a cut changes both at once.
// The subtitle itself must not count as a change of shot: samples in the picture's hole (and its
// ring) are left out of both, and cells are compared only where both pictures have samples.
// Cost: about 16 thousand samples read per picture, whatever its size.
#pragma once

#include "temporal/planes.h"

namespace temporal {

struct PlaneHole;

struct PictureSignature {
    float thumbnail[16 * 16] = {};
    bool cellSeen[16 * 16] = {};  // false: every sample of the cell was in the hole
    float histogram[32] = {};
};

struct CutThresholds {
    float thumbnail = 30.0f;  // mean absolute difference of the cells, 0..255
    float histogram = 0.5f;   // half the L1 distance of the normalised histograms, 0..1
};

// `hole`: the luma plane's hole of the picture, or null.
void MakeSignature(const PlaneRef &luma, int maxValue, const PlaneHole *hole, PictureSignature &out);
bool IsCut(const PictureSignature &before, const PictureSignature &after, const CutThresholds &t = CutThresholds{});

}  // namespace temporal
