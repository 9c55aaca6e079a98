// The widening steps of widening.h and the graymap growth that fills in between the module's
// radii. The growth is a square dilation done as two separable running maxima (rows, then
// columns), each a sliding window count over a padded line: O(cells) for any size of grow.
#include "detect/widening.h"

#include <algorithm>

int ReachOfRadius(int radius) { return radius * (radius + 1) / 2; }

int RadiusForReach(int distance) {
    for (int r = 0; r < kMaxRadius; ++r)
        if (ReachOfRadius(r) >= distance) return r;
    return kMaxRadius;
}

Widening WideningFor(int reach, int border) {
    reach = std::clamp(reach, 0, ReachOfRadius(kMaxRadius) + kMaxRadius);
    const int outward = std::max(0, reach - 1 - border);
    // Each radius with the least grow that makes both reaches; of those the one that reaches least
    // far, a grow within the radius first (the module's own steps, as without a border to cross),
    // else the smallest radius (the most grow: the square dilation itself, no rectangle to cut it).
    Widening best{kMaxRadius, std::max({0, reach - ReachOfRadius(kMaxRadius), outward - kMaxRadius})};
    for (int r = kMaxRadius; r-- > 0;) {
        const Widening w{r, std::max({0, reach - ReachOfRadius(r), outward - r})};
        const bool stepped = w.grow <= w.radius, bestStepped = best.grow <= best.radius;
        if (w.Reach() < best.Reach() || (w.Reach() == best.Reach() && (stepped || !bestStepped))) best = w;
    }
    return best;
}

namespace {

// out[i] = whether any of in[i - grow .. i + grow] is set, for `n` cells `stride` apart.
void GrowLine(const uint8_t *in, uint8_t *out, int n, std::ptrdiff_t stride, int grow) {
    int set = 0;  // set cells in the window of the cell before
    for (int i = 0; i < std::min(n, grow); ++i) set += in[i * stride] != 0;
    for (int i = 0; i < n; ++i) {
        if (i + grow < n) set += in[(i + grow) * stride] != 0;
        if (i - grow - 1 >= 0) set -= in[(i - grow - 1) * stride] != 0;
        out[i * stride] = set > 0 ? 255 : 0;
    }
}

}  // namespace

std::vector<uint8_t> GrowGraymap(const uint8_t *cells, int width, int height, int grow) {
    grow = std::max(0, grow);
    const int w = width + 2 * grow, h = height + 2 * grow;
    std::vector<uint8_t> placed((size_t)w * h, 0), rows((size_t)w * h, 0), out((size_t)w * h, 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) placed[(size_t)(y + grow) * w + x + grow] = cells[(size_t)y * width + x] ? 255 : 0;
    for (int y = 0; y < h; ++y) GrowLine(&placed[(size_t)y * w], &rows[(size_t)y * w], w, 1, grow);
    for (int x = 0; x < w; ++x) GrowLine(&rows[(size_t)x], &out[(size_t)x], h, w, grow);
    return out;
}
