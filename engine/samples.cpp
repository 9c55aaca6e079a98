// Border samples: for every region, the non-mask pixels within the depth ellipse of its border
// pixels, plus each border pixel's direct outside neighbours, stored in plane order.
//
// The work plane doubles as the per-region set of chosen cells: a chosen cell is marked
// SAMPLE_PENDING (so it is counted once however many windows reach it), and turned into
// SAMPLE_TAKEN when the region's samples are stored, which lets a later region choose it again.
// Marking costs one window of (2 reachX + 1) x (2 reachY / rowStep + 1) cells per border pixel.
// Storing scans, in plane order, the bounding box of the cells marked for the region, which
// yields the samples sorted without a sort; the box is exact, so the result equals a scan of the
// whole plane.
#include <algorithm>
#include <cmath>

#include "engine/build_settings.h"
#include "engine/regions.h"
#include "host/instance.h"
#include "host/memory.h"

namespace {

struct SampleReach {
    int32_t reachX;
    int32_t reachY;
    double scaleX;
    double scaleY;
    double depthLimit;
    int32_t rowStep;
};

SampleReach ComputeReach(const BuildSettings &s) {
    SampleReach reach;
    reach.scaleX = AspectScaleX(s.pixelAspect);
    reach.scaleY = AspectScaleY(s.pixelAspect);
    reach.reachX = (int32_t)std::ceil(s.depth * reach.scaleX * 0.1) + 1;
    reach.reachY = (int32_t)std::ceil(s.depth * reach.scaleY * 0.1) + 1;
    if (s.interlaced && (reach.reachY & 1)) ++reach.reachY;
    reach.depthLimit = (double)(s.depth * s.depth) * 0.01;
    reach.rowStep = s.rowStep;
    return reach;
}

// A border pixel has at least one neighbour inside the plane that is not a mask cell.
bool IsBorderPixel(const uint32_t *cells, int32_t w, int32_t h, int32_t x, int32_t y,
                   int32_t rowStep) {
    const uint32_t *p = cells + (size_t)y * (size_t)w + (size_t)x;
    if (x > 0 && p[-1] != MASK_SET) return true;
    if (x < w - 1 && p[1] != MASK_SET) return true;
    if (y >= rowStep && *(p - (ptrdiff_t)rowStep * w) != MASK_SET) return true;
    if (y < h - rowStep && *(p + (ptrdiff_t)rowStep * w) != MASK_SET) return true;
    return false;
}

// Bounding box of the cells marked for one region.
struct MarkBox {
    int32_t x0, x1, row0, row1;  // inclusive; empty while x0 > x1
};

// Marks the window cells of one border pixel that are samples of its region. Returns how many
// cells it newly marked.
int32_t MarkWindow(uint32_t *cells, int32_t w, int32_t h, int32_t x, int32_t y,
                   const SampleReach &reach, MarkBox *box) {
    const int32_t step = reach.rowStep;
    const int32_t c0 = std::max(x - reach.reachX, 0);
    const int32_t c1 = std::min(x + reach.reachX, w - 1);
    int32_t r0 = y - reach.reachY;
    while (r0 < 0) r0 += step;
    const int32_t r1 = std::min(y + reach.reachY, h - 1);
    int32_t marked = 0;
    for (int32_t row = r0; row <= r1; row += step) {
        uint32_t *line = cells + (size_t)row * (size_t)w;
        const int32_t dy = row - y;
        const double fy = dy / reach.scaleY;
        for (int32_t col = c0; col <= c1; ++col) {
            uint32_t v = line[col];
            if (v == MASK_SET || v == SAMPLE_PENDING) continue;
            const int32_t dx = col - x;
            const double fx = dx / reach.scaleX;
            bool take = fx * fx + fy * fy <= reach.depthLimit || (dx == 0 && (dy == step || dy == -step)) ||
                        (dy == 0 && (dx == 1 || dx == -1));
            if (!take) continue;
            line[col] = SAMPLE_PENDING;
            ++marked;
            box->x0 = std::min(box->x0, col);
            box->x1 = std::max(box->x1, col);
            box->row0 = std::min(box->row0, row);
            box->row1 = std::max(box->row1, row);
        }
    }
    return marked;
}

// Stores the region's pending cells in plane order and turns them into SAMPLE_TAKEN.
void StoreSamples(Region *region, uint32_t *cells, int32_t w, const MarkBox &box, ptrdiff_t pitch) {
    for (int32_t row = box.row0; row <= box.row1; ++row) {
        uint32_t *line = cells + (size_t)row * (size_t)w;
        for (int32_t x = box.x0; x <= box.x1; ++x) {
            if (line[x] != SAMPLE_PENDING) continue;
            BorderSample &s = region->samples[region->samplesFilled++];
            s.x = x;
            s.y = row;
            s.byteOffset = (int32_t)((ptrdiff_t)row * pitch + 4 * (ptrdiff_t)x);
            line[x] = SAMPLE_TAKEN;
        }
    }
}

}  // namespace

void CollectBorderSamples(RemovalInstance *instance, const FilterActivation *activation) {
    const SampleReach reach = ComputeReach(ClampedBuildSettings(instance));
    const FilterActivation *fa = activation ? activation : instance->activation;
    const ptrdiff_t pitch = fa && fa->src ? fa->src->pitch : 0;
    uint32_t *cells = instance->workMask.pixels;
    const int32_t w = instance->workMask.width, h = instance->workMask.height;
    RegionList *list = &instance->regions;

    bool failed = false;
    for (int32_t i = 0; i < list->count && list->items; ++i) {
        Region *region = &list->items[i];
        MarkBox box{w, -1, h, -1};
        int32_t count = 0;
        for (int32_t k = 0; k < region->pixelCount; ++k) {
            const int32_t x = region->pixels[k].x, y = region->pixels[k].y;
            if (!IsBorderPixel(cells, w, h, x, y, reach.rowStep)) continue;
            count += MarkWindow(cells, w, h, x, y, reach, &box);
        }
        if (failed) continue;  // after a failure the windows are still marked, nothing stored
        FreeMemory(region->samples);
        region->samples = nullptr;
        region->samplesFilled = 0;
        region->sampleCount = count >= 1 ? count : 0;
        if (count >= 1)
            region->samples = static_cast<BorderSample *>(AllocateArray((size_t)count, sizeof(BorderSample)));
        if (!region->samples && region->sampleCount != 0) {
            failed = true;
            continue;
        }
        if (count >= 1) StoreSamples(region, cells, w, box, pitch);
    }

    if (failed) {
        ReleaseRegionList(list);
        return;
    }
    BuildWeightTable(instance);
}
