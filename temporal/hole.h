// The hole of one subtitle on every plane of a picture, in the coordinates of a band: which
// samples the fill replaces (the widened mask, as the module shows it in its mask mode) and a ring
// of visible samples around them, where the fill is compared with the picture to hide its seam.
//
// A chroma sample belongs to the hole when any luma pixel of its footprint does, so no sample
// that carries colour of the text is kept. Cost: one pass over the band per plane, plus the ring's
// dilation, once per subtitle.
#pragma once

#include <cstdint>
#include <vector>

#include "temporal/planes.h"

namespace temporal {

// The halo lies between the hole and the ring: samples that are seen but may still hold the
// text's shadow, so no background is taken from them (see propagate.h) and the seam is not
// measured on them; the ring lies beyond it.
enum SampleKind : uint8_t { kVisible = 0, kHole = 1, kRing = 2, kHalo = 3 };

struct PlaneHole {
    Band rows;               // the band's rows on this plane
    int width = 0;           // the plane's width
    std::vector<uint8_t> kind;  // one SampleKind per sample of the band, row by row
    std::vector<int32_t> fill;  // band indices of the hole's samples, then the ring's, then the halo's
    int32_t holeCount = 0;      // fill[0 .. holeCount) are hole samples
    int32_t ringEnd = 0;        // fill[holeCount .. ringEnd) are ring samples

    uint8_t KindAt(int x, int planeRow) const {
        if (planeRow < rows.top || planeRow >= rows.bottom) return kVisible;
        return kind[(size_t)(planeRow - rows.top) * width + x];
    }
};

struct Hole {
    Band band;
    int planeCount = 0;
    PlaneHole planes[kMaxPlanes];
    bool Empty() const { return planeCount == 0 || planes[0].holeCount == 0; }
};

// `mask`: one byte per luma pixel of the picture (row by row, `width` x `height`), non-zero in
// the hole. Hole samples outside `band` are dropped: the caller makes the band hold the mask.
// `ring` is the ring's width in samples of each plane, `halo` the halo's (0: none).
void MakeHole(const uint8_t *mask, int width, int height, const PictureRef &layout, Band band, int ring, Hole &hole,
              int halo = 0);

// The smallest band that holds every non-zero byte of `mask`, widened by `margin` rows and kept
// within the picture; rows are rounded out to multiples of `align`. Empty when the mask is.
Band MaskBand(const uint8_t *mask, int width, int height, int margin, int align);

}  // namespace temporal
