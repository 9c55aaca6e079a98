// Helpers for the region build tests: placing a graymap in a test host, and comparing the removal
// models of two instances field by field.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "engine/regions.h"
#include "host/instance.h"
#include "support/test_host.h"

// Plane cells (x, plane row) to set in a graymap.
using CellList = std::vector<std::pair<int32_t, int32_t>>;
using CellSet = std::set<std::pair<int32_t, int32_t>>;

// Clears the graymap to the frame size, sets `cells` to MASK_SET and stores the placement
// rectangle (picture coordinates, right and bottom exclusive).
inline void PlaceGraymap(TestHost &host, const CellList &cells, int32_t left, int32_t top, int32_t right,
                         int32_t bottom) {
    RemovalInstance &inst = host.instance;
    ASSERT_TRUE(PrepareMaskImage(&inst, &inst.graymap));
    for (auto [x, row] : cells) Cell(inst.graymap, x, row) = MASK_SET;
    inst.maskLeft = left;
    inst.maskTop = top;
    inst.maskRight = right;
    inst.maskBottom = bottom;
}

// As above, with the rectangle the bounding box of the cells.
inline void PlaceGraymapTight(TestHost &host, const CellList &cells) {
    const int32_t h = host.src.h;
    int32_t x0 = INT32_MAX, x1 = INT32_MIN, r0 = INT32_MAX, r1 = INT32_MIN;
    for (auto [x, row] : cells) {
        x0 = std::min(x0, x);
        x1 = std::max(x1, x);
        r0 = std::min(r0, row);
        r1 = std::max(r1, row);
    }
    PlaceGraymap(host, cells, x0, h - 1 - r1, x1 + 1, h - r0);
}

inline void Build(TestHost &host) { BuildRemovalRegions(&host.instance, &host.activation); }

// The plane cells (in plane order) that hold `value`.
inline CellList CellsHolding(const MaskImage &plane, uint32_t value) {
    CellList out;
    for (int32_t row = 0; row < plane.height; ++row)
        for (int32_t x = 0; x < plane.width; ++x)
            if (plane.pixels[(size_t)row * plane.width + x] == value) out.emplace_back(x, row);
    return out;
}

inline CellList PixelsOf(const Region &region) {
    CellList out;
    for (int32_t k = 0; k < region.pixelCount; ++k) out.emplace_back(region.pixels[k].x, region.pixels[k].y);
    return out;
}

inline CellList SamplesOf(const Region &region) {
    CellList out;
    for (int32_t k = 0; k < region.sampleCount; ++k) out.emplace_back(region.samples[k].x, region.samples[k].y);
    return out;
}

// Every cell of the square of half-side `half` around (cx, row), in plane order.
inline CellList Square(int32_t cx, int32_t crow, int32_t half) {
    CellList out;
    for (int32_t row = crow - half; row <= crow + half; ++row)
        for (int32_t x = cx - half; x <= cx + half; ++x) out.emplace_back(x, row);
    return out;
}

// Largest pixel-to-sample distances over the regions, measured pair by pair.
struct PairExtents {
    int32_t maxDx = 0;
    int32_t maxDy = 0;
};
inline PairExtents MeasurePairs(const RegionList &list) {
    PairExtents e;
    for (int32_t i = 0; i < list.count; ++i) {
        const Region &r = list.items[i];
        for (int32_t p = 0; p < r.pixelCount; ++p)
            for (int32_t s = 0; s < r.sampleCount; ++s) {
                e.maxDx = std::max(e.maxDx, std::abs(r.pixels[p].x - r.samples[s].x));
                e.maxDy = std::max(e.maxDy, std::abs(r.pixels[p].y - r.samples[s].y));
            }
    }
    return e;
}

// Same regions, pixel lists, sample lists (with offsets) and tallies.
inline ::testing::AssertionResult SameRegions(const RegionList &a, const RegionList &b) {
    if (a.count != b.count) return ::testing::AssertionFailure() << "count " << a.count << " vs " << b.count;
    if ((a.items == nullptr) != (b.items == nullptr)) return ::testing::AssertionFailure() << "items presence";
    for (int32_t i = 0; i < a.count; ++i) {
        const Region &x = a.items[i], &y = b.items[i];
        if (x.pixelCount != y.pixelCount || x.pixelsFilled != y.pixelsFilled || x.sampleCount != y.sampleCount ||
            x.samplesFilled != y.samplesFilled || x.tally != y.tally || x.used != y.used)
            return ::testing::AssertionFailure() << "counts of region " << i;
        if ((x.pixels == nullptr) != (y.pixels == nullptr) || (x.samples == nullptr) != (y.samples == nullptr))
            return ::testing::AssertionFailure() << "array presence of region " << i;
        if (x.pixelCount && std::memcmp(x.pixels, y.pixels, sizeof(RegionPixel) * x.pixelCount))
            return ::testing::AssertionFailure() << "pixels of region " << i;
        if (x.sampleCount && std::memcmp(x.samples, y.samples, sizeof(BorderSample) * x.sampleCount))
            return ::testing::AssertionFailure() << "samples of region " << i;
    }
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult SamePlane(const MaskImage &a, const MaskImage &b) {
    if (a.width != b.width || a.height != b.height) return ::testing::AssertionFailure() << "plane size";
    if ((a.pixels == nullptr) != (b.pixels == nullptr)) return ::testing::AssertionFailure() << "plane presence";
    if (a.pixels && std::memcmp(a.pixels, b.pixels, (size_t)a.width * a.height * 4))
        return ::testing::AssertionFailure() << "plane cells differ";
    return ::testing::AssertionSuccess();
}

// The first `floats` floats (the filled rows) of two weight tables are bit-identical.
inline ::testing::AssertionResult SameWeights(const RemovalInstance &a, const RemovalInstance &b, size_t floats) {
    if ((a.weights == nullptr) != (b.weights == nullptr)) return ::testing::AssertionFailure() << "table presence";
    if (!a.weights) return ::testing::AssertionSuccess();
    if (a.weightStride != b.weightStride) return ::testing::AssertionFailure() << "stride";
    if (std::memcmp(a.weights, b.weights, floats * sizeof(float)))
        return ::testing::AssertionFailure() << "weight floats differ";
    return ::testing::AssertionSuccess();
}
