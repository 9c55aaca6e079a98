// Holes on every plane (see hole.h).
#include "temporal/hole.h"

#include <algorithm>
#include <vector>

namespace temporal {

namespace {

void MarkHole(const uint8_t *mask, int width, int height, const PlaneGeometry &g, PlaneHole &p) {
    const int sx = g.ScaleX(), sy = g.ScaleY();
    for (int y = p.rows.top; y < p.rows.bottom; ++y) {
        uint8_t *out = &p.kind[(size_t)(y - p.rows.top) * p.width];
        for (int ly = y * sy; ly < std::min(height, (y + 1) * sy); ++ly) {
            const uint8_t *in = mask + (size_t)ly * width;
            for (int x = 0; x < p.width; ++x) {
                for (int lx = x * sx; lx < std::min(width, (x + 1) * sx); ++lx) {
                    if (in[lx]) {
                        out[x] = kHole;
                        break;
                    }
                }
            }
        }
    }
}

// Visible samples within `ring` (square) of a hole sample become `kind` samples. The square is
// separable: a sample is near a hole sample when some sample within `ring` rows of it has one
// within `ring` columns, so running counts along the rows and then down the columns find them in
// a few passes over the plane, whatever the ring's width.
void MarkRing(PlaneHole &p, int ring, uint8_t kind) {
    const int rows = p.rows.Rows(), w = p.width;
    if (rows <= 0 || w <= 0 || ring <= 0) return;
    std::vector<uint8_t> near((size_t)rows * w);
    std::vector<int> counts((size_t)std::max(rows, w) + 1);
    for (int y = 0; y < rows; ++y) {
        const uint8_t *in = &p.kind[(size_t)y * w];
        counts[0] = 0;
        for (int x = 0; x < w; ++x) counts[(size_t)x + 1] = counts[(size_t)x] + (in[x] == kHole);
        for (int x = 0; x < w; ++x)
            near[(size_t)y * w + x] = counts[(size_t)std::min(w, x + ring + 1)] > counts[(size_t)std::max(0, x - ring)];
    }
    for (int x = 0; x < w; ++x) {
        counts[0] = 0;
        for (int y = 0; y < rows; ++y) counts[(size_t)y + 1] = counts[(size_t)y] + near[(size_t)y * w + x];
        for (int y = 0; y < rows; ++y) {
            uint8_t &k = p.kind[(size_t)y * w + x];
            if (k == kVisible && counts[(size_t)std::min(rows, y + ring + 1)] > counts[(size_t)std::max(0, y - ring)]) k = kind;
        }
    }
}

}  // namespace

void MakeHole(const uint8_t *mask, int width, int height, const PictureRef &layout, Band band, int ring, Hole &hole,
              int halo) {
    hole.band = band;
    hole.planeCount = layout.planeCount;
    for (int i = 0; i < layout.planeCount; ++i) {
        PlaneHole &p = hole.planes[i];
        const PlaneGeometry &g = layout.geometry[i];
        p.rows = PlaneBand(band, g.log2Y, layout.planes[i].height);
        p.width = layout.planes[i].width;
        p.kind.assign((size_t)p.rows.Rows() * p.width, kVisible);
        MarkHole(mask, width, height, g, p);
        if (halo > 0) MarkRing(p, halo, kHalo);
        MarkRing(p, halo + ring, kRing);
        p.fill.clear();
        for (uint8_t want : {kHole, kRing, kHalo}) {
            for (size_t k = 0; k < p.kind.size(); ++k) {
                if (p.kind[k] == want) p.fill.push_back((int32_t)k);
            }
            if (want == kHole) p.holeCount = (int32_t)p.fill.size();
            if (want == kRing) p.ringEnd = (int32_t)p.fill.size();
        }
    }
}

Band MaskBand(const uint8_t *mask, int width, int height, int margin, int align) {
    int top = height, bottom = 0;
    for (int y = 0; y < height; ++y) {
        const uint8_t *row = mask + (size_t)y * width;
        if (std::any_of(row, row + width, [](uint8_t v) { return v != 0; })) {
            top = std::min(top, y);
            bottom = y + 1;
        }
    }
    if (bottom == 0) return Band{};
    top = std::max(0, top - margin) / align * align;
    bottom = std::min(height, (bottom + margin + align - 1) / align * align);
    return Band{top, bottom};
}

}  // namespace temporal
