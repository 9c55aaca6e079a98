// Randomised region builds: many random graymaps, placements, frame sizes and settings (in and
// out of range), each built by the module and compared with
//  - a plain model written here: widening by cell membership tests, components by breadth-first
//    search, samples as the set of cells that pass the window test for some border pixel, the
//    extents pair by pair and the weights from their formula;
//  - the straightforward reference build: byte-identical work plane, identical lists and
//    identical weight floats.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <random>

#include "engine/regions.h"
#include "host/memory.h"
#include "host/params.h"
#include "support/engine_helpers.h"
#include "support/reference_engine.h"
#include "support/test_host.h"

namespace {

struct Settings {
    int32_t radius, depth, power, aspect;
    bool interlaced;
};

struct Placement {
    CellList cells;
    int32_t left, top, right, bottom;
};

// ---- The plain model ----

struct PlainRegion {
    CellList pixels;
    CellList samples;  // plane order
};

struct PlainBuild {
    std::vector<uint8_t> mask;  // widened mask, plane order
    std::vector<PlainRegion> regions;
    int32_t left, top, right, bottom;  // bounds after the build
};

int32_t Clamp(ParameterId id, int32_t v) {
    return std::min(std::max(v, kParameters[id].minimum), kParameters[id].maximum);
}

PlainBuild PlainModel(int32_t w, int32_t h, const std::vector<uint8_t> &graymap, const Settings &raw,
                      int32_t left, int32_t top, int32_t right, int32_t bottom) {
    const int32_t r = Clamp(PARAM_RADIUS, raw.radius);
    const int32_t depth = Clamp(PARAM_DEPTH, raw.depth);
    const int32_t aspect = Clamp(PARAM_PIXEL_ASPECT, raw.aspect);
    const int32_t step = raw.interlaced ? 2 : 1;
    PlainBuild out;
    out.left = std::max(left, r);
    out.top = std::max(top, r);
    out.right = std::min(right, w - r);
    out.bottom = std::min(bottom, h - r);

    auto in = [&](const std::vector<uint8_t> &m, int64_t x, int64_t row) {
        return x >= 0 && x < w && row >= 0 && row < h && m[row * w + x];
    };
    std::vector<uint8_t> mask = graymap;
    for (int32_t i = 1; i <= r; ++i) {
        std::vector<uint8_t> next = mask;
        for (int32_t row = 0; row < h; ++row)
            for (int32_t x = 0; x < w; ++x) {
                const int64_t pictureRow = h - 1 - row;
                bool visited = x >= (int64_t)out.left - i && x < (int64_t)out.right + i &&
                               pictureRow >= (int64_t)out.top - i && pictureRow < (int64_t)out.bottom + i;
                if (!visited) continue;
                for (int32_t dy = -i; dy <= i; dy += i)
                    for (int32_t dx = -i; dx <= i; dx += i)
                        if (in(mask, x + dx, row + dy)) next[row * w + x] = 1;
            }
        mask = next;
    }
    out.mask = mask;

    // Components by breadth-first search, numbered by their first cell in plane order.
    std::vector<int32_t> label(mask.size(), -1);
    for (int32_t start = 0; start < w * h; ++start) {
        if (!mask[start] || label[start] >= 0) continue;
        const int32_t id = (int32_t)out.regions.size();
        out.regions.emplace_back();
        std::vector<int32_t> cells;
        std::deque<int32_t> queue{start};
        label[start] = id;
        while (!queue.empty()) {
            int32_t c = queue.front();
            queue.pop_front();
            cells.push_back(c);
            const int32_t x = c % w, row = c / w;
            const int32_t nx[4] = {x - 1, x + 1, x, x}, ny[4] = {row, row, row - step, row + step};
            for (int k = 0; k < 4; ++k) {
                if (!in(mask, nx[k], ny[k])) continue;
                int32_t n = ny[k] * w + nx[k];
                if (label[n] < 0) {
                    label[n] = id;
                    queue.push_back(n);
                }
            }
        }
        std::sort(cells.begin(), cells.end());
        for (int32_t c : cells) out.regions[id].pixels.emplace_back(c % w, c / w);
    }

    // Samples: every non-mask cell that passes the window test of some border pixel.
    const double sx = AspectScaleX(aspect), sy = AspectScaleY(aspect);
    const int32_t reachX = (int32_t)std::ceil(depth * sx * 0.1) + 1;
    int32_t reachY = (int32_t)std::ceil(depth * sy * 0.1) + 1;
    if (raw.interlaced && reachY % 2) ++reachY;
    const double limit = (depth * depth) * 0.01;
    for (PlainRegion &region : out.regions) {
        std::set<int32_t> chosen;
        for (auto [x, y] : region.pixels) {
            bool border = false;
            const int32_t nx[4] = {x - 1, x + 1, x, x}, ny[4] = {y, y, y - step, y + step};
            for (int k = 0; k < 4; ++k)
                if (nx[k] >= 0 && nx[k] < w && ny[k] >= 0 && ny[k] < h && !mask[ny[k] * w + nx[k]]) border = true;
            if (!border) continue;
            for (int32_t dy = -reachY; dy <= reachY; ++dy) {
                if (dy % step) continue;
                for (int32_t dx = -reachX; dx <= reachX; ++dx) {
                    const int32_t cx = x + dx, cy = y + dy;
                    if (cx < 0 || cx >= w || cy < 0 || cy >= h || mask[cy * w + cx]) continue;
                    const double fx = dx / sx, fy = dy / sy;
                    if (fx * fx + fy * fy <= limit || (dx == 0 && std::abs(dy) == step) || (dy == 0 && std::abs(dx) == 1))
                        chosen.insert(cy * w + cx);
                }
            }
        }
        for (int32_t c : chosen) region.samples.emplace_back(c % w, c / w);
    }
    return out;
}

// ---- Random cases ----

Settings RandomSettings(std::mt19937 &rng) {
    auto pick = [&](int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(rng); };
    Settings s;
    const bool wild = pick(0, 9) == 0;  // now and then a script's out-of-range values
    s.radius = wild ? pick(-20, 60) : (pick(0, 3) == 0 ? pick(0, 10) : pick(0, 3));
    s.depth = wild ? pick(-100, 400) : pick(10, 80);
    s.power = wild ? pick(-300, 900) : pick(0, 160);
    s.aspect = wild ? pick(-1000, 1000) : (pick(0, 2) == 0 ? 0 : pick(-120, 120));
    s.interlaced = pick(0, 2) == 0;
    return s;
}

Placement RandomPlacement(std::mt19937 &rng, int32_t w, int32_t h) {
    auto pick = [&](int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(rng); };
    Placement p;
    p.left = pick(-5, w);
    p.top = pick(-5, h);
    p.right = p.left + pick(0, w + 8);
    p.bottom = p.top + pick(0, h + 8);
    const double densities[] = {0.0, 0.02, 0.08, 0.25, 0.5, 0.9};
    const double density = densities[pick(0, 5)];
    const bool anywhere = pick(0, 4) == 0;  // cells outside the rectangle, as near a clamped edge
    std::bernoulli_distribution coin(density);
    for (int32_t row = 0; row < h; ++row)
        for (int32_t x = 0; x < w; ++x) {
            const int32_t pictureRow = h - 1 - row;
            const bool inside = x >= p.left && x < p.right && pictureRow >= p.top && pictureRow < p.bottom;
            if ((inside || anywhere) && coin(rng)) p.cells.emplace_back(x, row);
        }
    return p;
}

struct Case {
    int32_t w, h, padding;
    Placement placement;
    Settings first, second;  // two builds of the same graymap: the second sees the clamped bounds
};

void Apply(TestHost &host, const Settings &s) {
    host.instance.radius = s.radius;
    host.instance.depth = s.depth;
    host.instance.power = s.power;
    host.instance.pixelAspect = s.aspect;
    host.instance.interlaced = s.interlaced;
}

// Checks one build of `host` against the plain model of the same graymap and settings.
void CheckAgainstPlainModel(const TestHost &host, const std::vector<uint8_t> &graymap, const Settings &s,
                            int32_t left, int32_t top, int32_t right, int32_t bottom, const std::string &what) {
    SCOPED_TRACE(what);
    const RemovalInstance &inst = host.instance;
    const int32_t w = host.src.w, h = host.src.h;
    PlainBuild plain = PlainModel(w, h, graymap, s, left, top, right, bottom);
    EXPECT_EQ(inst.maskLeft, plain.left);
    EXPECT_EQ(inst.maskTop, plain.top);
    EXPECT_EQ(inst.maskRight, plain.right);
    EXPECT_EQ(inst.maskBottom, plain.bottom);

    bool anySample = false;
    for (const PlainRegion &r : plain.regions) anySample |= !r.samples.empty();
    // Work plane: the widened mask, the union of all samples, zero elsewhere.
    std::vector<uint32_t> expected(plain.mask.size(), 0);
    for (size_t k = 0; k < expected.size(); ++k)
        if (plain.mask[k]) expected[k] = MASK_SET;
    for (const PlainRegion &r : plain.regions)
        for (auto [x, y] : r.samples) expected[(size_t)y * w + x] = SAMPLE_TAKEN;
    ASSERT_EQ(inst.workMask.width, w);
    ASSERT_EQ(inst.workMask.height, h);
    EXPECT_EQ(std::vector<uint32_t>(inst.workMask.pixels, inst.workMask.pixels + (size_t)w * h), expected);

    if (!anySample) {  // nothing to repaint from: no table, no regions
        EXPECT_EQ(inst.regions.count, 0);
        EXPECT_EQ(inst.regions.items, nullptr);
        EXPECT_EQ(inst.weights, nullptr);
        return;
    }
    ASSERT_EQ(inst.regions.count, (int32_t)plain.regions.size());
    int32_t maxDx = 0, maxDy = 0, maxSamples = 0;
    for (int32_t i = 0; i < inst.regions.count; ++i) {
        const Region &got = inst.regions.items[i];
        const PlainRegion &want = plain.regions[i];
        ASSERT_EQ(PixelsOf(got), want.pixels) << "region " << i;
        ASSERT_EQ(SamplesOf(got), want.samples) << "region " << i;
        EXPECT_EQ(got.pixelsFilled, got.pixelCount);
        EXPECT_EQ(got.samplesFilled, got.sampleCount);
        EXPECT_EQ(got.samples == nullptr, want.samples.empty());
        for (int32_t k = 0; k < got.sampleCount; ++k)
            ASSERT_EQ(got.samples[k].byteOffset, got.samples[k].y * (int32_t)host.src.pitch + 4 * got.samples[k].x);
        for (auto [px, py] : want.pixels)
            for (auto [qx, qy] : want.samples) {
                maxDx = std::max(maxDx, std::abs(px - qx));
                maxDy = std::max(maxDy, std::abs(py - qy));
            }
        maxSamples = std::max(maxSamples, (int32_t)want.samples.size());
    }
    if (s.interlaced && maxDx % 2 == 0) ++maxDx;
    const int32_t rowLength = maxDx + 1;
    ASSERT_NE(inst.weights, nullptr);
    ASSERT_EQ(inst.weightStride, s.interlaced ? rowLength / 2 : rowLength);
    const double k = (double)FLT_MAX / ((double)maxSamples * 256);
    const double g = Clamp(PARAM_POWER, s.power) * (double)0.05f;
    const int32_t aspect = Clamp(PARAM_PIXEL_ASPECT, s.aspect);
    const double sx = AspectScaleX(aspect), sy = AspectScaleY(aspect);
    const double sx2 = sx * sx, sy2 = sy * sy;
    const int32_t step = s.interlaced ? 2 : 1;
    for (int32_t dy = 0; dy <= maxDy; dy += step)
        for (int32_t dx = 0; dx <= maxDx; ++dx) {
            double want = (dx || dy) ? k / std::pow((double)(dx * dx) * sx2 + (double)(dy * dy) * sy2, g) : 0.0;
            if ((dx || dy) && !(want >= FLT_EPSILON)) want = FLT_EPSILON;
            ASSERT_EQ(inst.weights[inst.weightStride * dy + dx], (float)want) << dx << "," << dy;
        }
}

// Floats of the filled rows of the module's table (from its stride and the regions' extents).
size_t FilledFloats(const RemovalInstance &inst) {
    if (!inst.weights) return 0;
    PairExtents e = MeasurePairs(inst.regions);
    const int32_t rowLength = inst.interlaced ? inst.weightStride * 2 : inst.weightStride;
    const int32_t rows = inst.interlaced ? e.maxDy / 2 + 1 : e.maxDy + 1;
    return (size_t)rowLength * (size_t)rows;
}

// Guards any difference between the module's build and the plain definition, or between the
// module's build and the straightforward reference: components, numbering, pixel and sample
// lists, the work plane, bounds and weights, over many random cases.
TEST(RandomBuilds, MatchThePlainModelAndTheReference) {
    std::mt19937 rng(20261208);
    auto pick = [&](int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(rng); };
    const int kCases = 600;
    int withRegions = 0;
    for (int n = 0; n < kCases; ++n) {
        Case c;
        c.w = pick(0, 5) == 0 ? pick(1, 4) : pick(5, 48);
        c.h = pick(0, 5) == 0 ? pick(1, 4) : pick(5, 40);
        c.padding = 4 * pick(0, 3);
        c.placement = RandomPlacement(rng, c.w, c.h);
        c.first = RandomSettings(rng);
        c.second = RandomSettings(rng);
        const std::string what = "case " + std::to_string(n);

        TestHost mod(c.w, c.h, c.padding), ref(c.w, c.h, c.padding);
        mod.Init();
        ref.Init();
        std::vector<uint8_t> graymap((size_t)c.w * c.h, 0);
        for (auto [x, row] : c.placement.cells) graymap[(size_t)row * c.w + x] = 1;
        for (TestHost *h : {&mod, &ref})
            PlaceGraymap(*h, c.placement.cells, c.placement.left, c.placement.top, c.placement.right,
                         c.placement.bottom);

        for (const Settings *s : {&c.first, &c.second}) {
            const int32_t l = mod.instance.maskLeft, t = mod.instance.maskTop;
            const int32_t r = mod.instance.maskRight, b = mod.instance.maskBottom;
            Apply(mod, *s);
            Apply(ref, *s);
            BuildRemovalRegions(&mod.instance, &mod.activation);
            ReferenceBuildRemovalRegions(&ref.instance, &ref.activation);
            CheckAgainstPlainModel(mod, graymap, *s, l, t, r, b, what);
            ASSERT_TRUE(SameRegions(mod.instance.regions, ref.instance.regions)) << what;
            ASSERT_TRUE(SamePlane(mod.instance.workMask, ref.instance.workMask)) << what;
            ASSERT_TRUE(SameWeights(mod.instance, ref.instance, FilledFloats(mod.instance))) << what;
            EXPECT_EQ(mod.instance.maskLeft, ref.instance.maskLeft);
            EXPECT_EQ(mod.instance.maskBottom, ref.instance.maskBottom);
            if (mod.instance.regions.count > 1) ++withRegions;
            if (HasFatalFailure()) return;
        }
    }
    // The cases must exercise multi-region builds, not only empty ones.
    EXPECT_GT(withRegions, kCases / 4);
}

// Guards the faster build leaning on its lookup aids: with every aid's allocation refused, a
// many-region build must still equal the reference.
TEST(RandomBuilds, SpeckledGraymapWithoutLookupAidsMatchesTheReference) {
    std::mt19937 rng(7);
    std::bernoulli_distribution coin(0.15);
    CellList cells;
    for (int32_t row = 0; row < 60; ++row)
        for (int32_t x = 0; x < 80; ++x)
            if (coin(rng)) cells.emplace_back(x, row);
    TestHost mod(80, 60), ref(80, 60);
    for (TestHost *h : {&mod, &ref}) {
        h->Init();
        h->instance.radius = 0;
        PlaceGraymap(*h, cells, 0, 0, 80, 60);
    }
    BuildRemovalRegions(&mod.instance, &mod.activation);  // planes now exist
    ReferenceBuildRemovalRegions(&ref.instance, &ref.activation);
    ASSERT_GT(ref.instance.regions.count, 100);
    // A rebuild allocates the region list first; every later allocation that may fail without
    // failing the build is a lookup aid. Refuse the second allocation, then the third.
    int compared = 0;
    for (long n : {2L, 3L}) {
        mod.instance.rebuildPending = true;
        FailAllocationAfter(n);
        BuildRemovalRegions(&mod.instance, &mod.activation);
        FailAllocationAfter(0);
        if (mod.instance.regions.count == 0) continue;  // that allocation was a pixel array
        EXPECT_TRUE(SameRegions(mod.instance.regions, ref.instance.regions)) << n;
        EXPECT_TRUE(SamePlane(mod.instance.workMask, ref.instance.workMask)) << n;
        EXPECT_TRUE(SameWeights(mod.instance, ref.instance, FilledFloats(mod.instance))) << n;
        ++compared;
    }
    EXPECT_GE(compared, 1);
}

}  // namespace
