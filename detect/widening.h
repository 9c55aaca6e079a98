// How far subremove widens a subtitle's graymap: the module's own radius, and, where the damage
// ends between two of the module's steps, a few pixels grown onto a temporary copy of the
// graymap first.
//
// The module's widening runs `radius` passes and pass i looks i pixels away, so radius r reaches
// r (r + 1) / 2 pixels in a square: 1, 3, 6, 10, 15. Steps that coarse cost quality: an outline
// whose anti-aliasing ends 4 pixels out needs radius 3, which repaints 6 pixels out. Growing the
// graymap by g pixels (a square dilation, its rectangle widened by g on every side) before a
// radius r widening reaches r (r + 1) / 2 + g, and every reach is one radius r with 0 <= g <= r.
// The module sees an ordinary graymap; the user's own files are never changed.
#pragma once

#include <cstdint>
#include <vector>

// The module's largest radius.
constexpr int kMaxRadius = 10;

int ReachOfRadius(int radius);
// The smallest radius (0..kMaxRadius) that reaches `distance`.
int RadiusForReach(int distance);

struct Widening {
    int radius = -1;  // the module's radius; negative: not measured
    int grow = 0;     // pixels grown onto the graymap first: up to the radius, more past a tight rectangle

    // Pixels reached from the fill within the graymap's rectangle.
    int Reach() const { return ReachOfRadius(radius) + grow; }
    // Pixels reached past the graymap's own rectangle: the module widens only within the
    // (grown) rectangle widened by the radius.
    int Outward() const { return radius + grow; }
    bool Measured() const { return radius >= 0; }
    bool operator<(const Widening &o) const { return radius != o.radius ? radius < o.radius : grow < o.grow; }
    bool operator==(const Widening &o) const { return radius == o.radius && grow == o.grow; }
    bool operator!=(const Widening &o) const { return !(*this == o); }
};

// The smallest widening that reaches damage `reach` pixels from the fill of a graymap whose
// rectangle leaves `border` clear pixels around the fill. Past the rectangle the outline needs
// the widening's outward reach; the outermost ring, the faint anti-aliasing, lies past it only
// off the text's extreme points (the tops of capitals, descenders, the first and last letter),
// and widening every pixel of the subtitle further for it cost 2.6 dB on a shadowed serif
// subtitle, so the outward reach needs to come within one pixel of it. Where that takes more grow
// than the radius (a soft shadow 12 pixels out of a graymap with the usual border of 2), the grow
// makes up the rest rather than a larger radius, which would widen every pixel past the reach
// (radius 5 and a grow of 4 reach 19). Reaches past the largest radius with as much grow (65)
// are taken as that.
Widening WideningFor(int reach, int border);

// `cells` (width x height, row after row) grown by `grow` pixels: a (width + 2 grow) x
// (height + 2 grow) graymap, 255 within `grow` pixels (Chebyshev) of a non-zero cell, 0
// elsewhere. Cost: two passes of a running maximum, O(cells), whatever `grow`.
std::vector<uint8_t> GrowGraymap(const uint8_t *cells, int width, int height, int grow);
