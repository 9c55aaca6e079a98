// Holes on every plane (see hole.h).
#include "temporal/hole.h"

#include <algorithm>

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

// Visible samples within `ring` (square) of a hole sample become `kind` samples.
void MarkRing(PlaneHole &p, int ring, uint8_t kind) {
    const int rows = p.rows.Rows();
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < p.width; ++x) {
            if (p.kind[(size_t)y * p.width + x] != kHole) continue;
            for (int dy = -ring; dy <= ring; ++dy) {
                const int ny = y + dy;
                if (ny < 0 || ny >= rows) continue;
                uint8_t *row = &p.kind[(size_t)ny * p.width];
                for (int nx = std::max(0, x - ring); nx <= std::min(p.width - 1, x + ring); ++nx) {
                    if (row[nx] == kVisible) row[nx] = kind;
                }
            }
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
