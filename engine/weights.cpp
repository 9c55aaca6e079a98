// The distance weight table: for every horizontal and vertical distance that can occur between a
// region pixel and one of its region's samples, the weight K / d^g that the repaint gives the
// sample, so that the repaint does one float load per pixel/sample pair instead of a pow.
//
// Size and cost follow the largest pixel-to-sample extents over the regions, not the frame:
// (maxDx + 1) x (maxDy + 1) floats, one pow each (half of the rows in interlaced mode, where
// every distance is even). K = FLT_MAX / (maxSamples * 256) keeps any weight sum times 255 finite.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>

#include "engine/build_settings.h"
#include "engine/regions.h"
#include "host/instance.h"
#include "host/memory.h"

namespace {

// maxSamples * 256 is formed in 32 bits; from 2^23 samples in one region it would overflow.
constexpr int32_t kMaxTableSamples = (int32_t)(INT32_MAX >> 8);

struct Box {
    int32_t minX, maxX, minY, maxY;
};

// Bounding box of `count` (at least 1) records with x and y members: pixels or samples.
template <typename Point>
Box BoxOf(const Point *points, int32_t count) {
    Box b{points[0].x, points[0].x, points[0].y, points[0].y};
    for (int32_t k = 1; k < count; ++k) {
        b.minX = std::min(b.minX, points[k].x);
        b.maxX = std::max(b.maxX, points[k].x);
        b.minY = std::min(b.minY, points[k].y);
        b.maxY = std::max(b.maxY, points[k].y);
    }
    return b;
}

}  // namespace

RegionExtents MeasureRegions(const RegionList &list) {
    RegionExtents e{0, 0, 0};
    for (int32_t i = 0; i < list.count; ++i) {
        const Region &region = list.items[i];
        const bool wellFormed = (region.samples != nullptr) == (region.sampleCount != 0) &&
                                (region.pixels != nullptr) == (region.pixelCount != 0) &&
                                region.sampleCount > 0 && region.pixelCount > 0;
        if (wellFormed) {
            const Box samples = BoxOf(region.samples, region.sampleCount);
            const Box pixels = BoxOf(region.pixels, region.pixelCount);
            e.maxDx = std::max(e.maxDx, std::max(samples.maxX - pixels.minX, pixels.maxX - samples.minX));
            e.maxDy = std::max(e.maxDy, std::max(samples.maxY - pixels.minY, pixels.maxY - samples.minY));
        }
        e.maxSamples = std::max(e.maxSamples, region.sampleCount);
    }
    return e;
}

void BuildWeightTable(RemovalInstance *instance) {
    FreeMemory(instance->weights);
    instance->weights = nullptr;
    RegionList *list = &instance->regions;
    if ((list->count == 0) != (list->items == nullptr)) return;

    const BuildSettings settings = ClampedBuildSettings(instance);
    RegionExtents e = MeasureRegions(*list);
    if (settings.interlaced && (e.maxDx & 1) == 0) ++e.maxDx;
    const int32_t rowLength = e.maxDx + 1;

    // Too many samples for the weight scale counts as a failed allocation; no need to try one.
    float *table = nullptr;
    if (e.maxSamples > 0 && e.maxSamples <= kMaxTableSamples)
        table = static_cast<float *>(
            AllocateZeroedArray((size_t)rowLength * ((size_t)e.maxDy + 1), sizeof(float)));
    if (!table) {
        ReleaseRegionList(list);
        return;
    }
    instance->weights = table;
    instance->weightStride = settings.interlaced ? rowLength / 2 : rowLength;

    const double k = (double)FLT_MAX / (double)(e.maxSamples << 8);
    const double g = (double)settings.power * (double)0.05f;
    const double sx = AspectScaleX(settings.pixelAspect);
    const double sy = AspectScaleY(settings.pixelAspect);
    const double sx2 = sx * sx, sy2 = sy * sy;
    const int32_t step = settings.rowStep;

    float *out = table;
    for (int32_t dy = 0; dy <= e.maxDy; dy += step) {
        const int32_t dy2 = dy * dy;
        for (int32_t dx = 0; dx <= e.maxDx; ++dx) {
            if (dx == 0 && dy == 0) {
                *out++ = 0.0f;
                continue;
            }
            const double d2 = (double)(dx * dx) * sx2 + (double)dy2 * sy2;
            double weight = k / PowAtFullPrecision(d2, g);
            if (!(weight >= (double)FLT_EPSILON)) weight = (double)FLT_EPSILON;
            *out++ = (float)weight;
        }
    }
}
