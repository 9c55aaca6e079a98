// How far a subtitle's damage reaches around its fill, told by what changes in the picture when the
// subtitle comes and when it goes: for indexes written elsewhere (--radius auto), where a shadow
// that is soft (blurred, translucent) or lies over a moving picture is never steady, so that the
// steady rings of subtitle_shape.h see only its dark core.
#pragma once

#include <cstdint>
#include <vector>

// The picture around a subtitle as it came and as it went: luma planes of one rectangle of the
// picture (a LumaSpan's), each empty when unknown. `before` is the frame before the subtitle's
// first, `after` the frame after its last; left empty where the film starts or ends there, or
// where another subtitle showed in the rectangle then (its own change would count).
struct ComeAndGo {
    std::vector<uint8_t> before, first, second;  // the frame before, the first two frames with it
    std::vector<uint8_t> penultimate, last, after;  // the last two frames with it, the frame after
};

struct ChangedReach {
    int reach = 0;       // 0: neither end tells (unknown, or a cut or a flash there)
    bool still = false;  // told by both ends over a still picture: the change is the whole damage
};

// The farthest ring of the fill's Chebyshev distance transform that the subtitle changed, and
// the faint tail past it. `fill`: width x height, non-zero on the fill.
ChangedReach ChangeReach(const uint8_t *fill, int width, int height, const ComeAndGo &change);
