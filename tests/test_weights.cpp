// The weight table built from hand-made region lists: its extents, layout, values, guards and
// failure path.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "engine/regions.h"
#include "host/memory.h"
#include "support/test_host.h"

namespace {

struct RegionSpec {
    std::vector<RegionPixel> pixels;
    std::vector<std::pair<int32_t, int32_t>> samples;
};

struct Host : TestHost {
    explicit Host(int32_t power = 40, int32_t aspect = 0, bool interlaced = false) {
        Init();
        instance.power = power;
        instance.pixelAspect = aspect;
        instance.interlaced = interlaced;
    }
    // Replaces the region list with the given regions, arrays allocated through the seam.
    void SetRegions(const std::vector<RegionSpec> &specs) {
        ASSERT_TRUE(AllocateRegionList(&instance.regions, (int32_t)specs.size()));
        for (size_t i = 0; i < specs.size(); ++i) {
            Region &r = instance.regions.items[i];
            r.pixelCount = r.pixelsFilled = (int32_t)specs[i].pixels.size();
            if (!specs[i].pixels.empty())
                r.pixels = static_cast<RegionPixel *>(AllocateArray(specs[i].pixels.size(), sizeof(RegionPixel)));
            for (size_t k = 0; k < specs[i].pixels.size(); ++k) r.pixels[k] = specs[i].pixels[k];
            r.sampleCount = r.samplesFilled = (int32_t)specs[i].samples.size();
            if (!specs[i].samples.empty())
                r.samples = static_cast<BorderSample *>(AllocateArray(specs[i].samples.size(), sizeof(BorderSample)));
            for (size_t k = 0; k < specs[i].samples.size(); ++k)
                r.samples[k] = {specs[i].samples[k].first, specs[i].samples[k].second, 0};
        }
    }
    float At(int32_t dx, int32_t dy) const { return instance.weights[instance.weightStride * dy + dx]; }
    void BuildTable() { BuildWeightTable(&instance); }
};

// One region with a pixel at the origin and samples at the given positions.
RegionSpec Around(std::vector<std::pair<int32_t, int32_t>> samples) { return {{{0, 0}}, std::move(samples)}; }

const double kFltMax = FLT_MAX;

// ---- Extents and layout ----

TEST(WeightLayout, EmptyListGivesNoTable) {
    Host host;
    host.instance.weights = static_cast<float *>(AllocateArray(3, sizeof(float)));
    host.BuildTable();
    EXPECT_EQ(host.instance.weights, nullptr);
    EXPECT_EQ(host.instance.regions.count, 0);
    EXPECT_EQ(host.instance.regions.items, nullptr);
}

// Guards building from (or releasing) a list whose count and items disagree.
TEST(WeightLayout, InconsistentListGivesNoTableAndIsLeftAlone) {
    Host host;
    Region *items = static_cast<Region *>(AllocateZeroedArray(1, sizeof(Region)));
    host.instance.regions = {items, 0};
    host.BuildTable();
    EXPECT_EQ(host.instance.weights, nullptr);
    EXPECT_EQ(host.instance.regions.items, items);
    FreeMemory(items);
    host.instance.regions = {nullptr, 0};
}

// Guards an extent taken as a span of one list (pixels 10..12 or samples 8..15) instead of the
// largest pixel-to-sample distance: 15 - 10 = 5, not 12 - 8 = 4.
TEST(WeightLayout, HorizontalExtentIsTheLargestPixelToSampleDistance) {
    Host host;
    host.SetRegions({{{{10, 0}, {11, 0}, {12, 0}}, {{8, 0}, {15, 0}}}});
    host.BuildTable();
    ASSERT_NE(host.instance.weights, nullptr);
    EXPECT_EQ(host.instance.weightStride, 6);
}

// Guards the interlaced row length: made even (odd maxDx) so that half of it steps one field row.
TEST(WeightLayout, RowLengthAndStrideFollowTheFieldMode) {
    struct Case {
        int32_t maxDx;
        bool interlaced;
        int32_t stride;
    } cases[] = {{4, true, 3}, {4, false, 5}, {5, true, 3}, {5, false, 6}, {0, true, 1}};
    for (const Case &c : cases) {
        Host host(40, 0, c.interlaced);
        host.SetRegions({Around({{c.maxDx, 2}})});
        host.BuildTable();
        ASSERT_NE(host.instance.weights, nullptr);
        EXPECT_EQ(host.instance.weightStride, c.stride) << c.maxDx << " " << c.interlaced;
    }
}

// Guards the interlaced lookup: weights[stride * dy + dx] with stride = rowLength / 2 must read
// the entry for (dx, dy), the same float a progressive table holds for that distance.
TEST(WeightLayout, InterlacedRowsHoldEvenDistances) {
    Host field(40, 0, true), frame(40, 0, false);
    for (Host *h : {&field, &frame}) {
        h->SetRegions({Around({{5, 5}})});
        h->BuildTable();
        ASSERT_NE(h->instance.weights, nullptr);
    }
    EXPECT_EQ(field.instance.weightStride, 3);
    EXPECT_EQ(field.instance.weights[13], frame.At(1, 4));  // row 2, column 1
    for (int32_t dy = 0; dy <= 4; dy += 2)
        for (int32_t dx = 0; dx <= 5; ++dx) EXPECT_EQ(field.At(dx, dy), frame.At(dx, dy)) << dx << "," << dy;
}

// ---- Values ----

TEST(WeightValues, StatedEntriesForPowerForty) {
    Host one;
    one.SetRegions({Around({{2, 1}})});  // extents 2 x 1, one sample
    one.BuildTable();
    ASSERT_NE(one.instance.weights, nullptr);
    const double k = kFltMax / 256;
    EXPECT_EQ(one.At(0, 0), 0.0f);
    EXPECT_EQ(one.At(1, 0), (float)k);
    EXPECT_NEAR(one.At(1, 1) / k, 0.25, 1e-6);
    EXPECT_NEAR(one.At(2, 0) / k, 1.0 / 16, 1e-7);

    Host two;
    two.SetRegions({Around({{2, 0}, {0, 1}})});
    two.BuildTable();
    ASSERT_NE(two.instance.weights, nullptr);
    EXPECT_EQ(two.At(1, 0), FLT_MAX / 512);
    EXPECT_EQ(two.At(0, 1), FLT_MAX / 512);
    // g is slightly above 2 (the single-precision 0.05), so this is one step below FLT_MAX / 8192.
    EXPECT_EQ(two.At(2, 0), std::nextafter(FLT_MAX / 8192, 0.0f));
}

TEST(WeightValues, PowerZeroMakesEveryEntryTheScale) {
    Host host(0);
    host.SetRegions({Around({{7, 3}, {1, 1}, {2, 2}})});
    host.BuildTable();
    ASSERT_NE(host.instance.weights, nullptr);
    for (int32_t dy = 0; dy <= 3; ++dy)
        for (int32_t dx = 0; dx <= 7; ++dx) EXPECT_EQ(host.At(dx, dy), (dx || dy) ? (float)(kFltMax / 768) : 0.0f);
}

// Guards swapping the two scales: pixel aspect 30 makes a vertical step weigh like two
// horizontal steps, -30 the reverse.
TEST(WeightValues, PixelAspectScalesOneAxis) {
    Host tall(40, 30), wide(40, -30);
    for (Host *h : {&tall, &wide}) {
        h->SetRegions({Around({{2, 2}})});
        h->BuildTable();
        ASSERT_NE(h->instance.weights, nullptr);
    }
    EXPECT_EQ(tall.At(0, 1), tall.At(2, 0));
    EXPECT_LT(tall.At(0, 1), tall.At(1, 0));
    EXPECT_EQ(wide.At(1, 0), wide.At(0, 2));
    EXPECT_LT(wide.At(1, 0), wide.At(0, 1));
}

// Guards weights that underflow to zero (a zero weight sum) at large distances and high power.
TEST(WeightValues, EntriesNeverFallBelowEpsilon) {
    Host host(160);
    host.SetRegions({Around({{1000, 3}})});
    host.BuildTable();
    ASSERT_NE(host.instance.weights, nullptr);
    for (int32_t dy = 0; dy <= 3; ++dy)
        for (int32_t dx = (dy ? 0 : 1); dx <= 1000; ++dx) ASSERT_GE(host.At(dx, dy), FLT_EPSILON) << dx << "," << dy;
    EXPECT_EQ(host.At(1000, 0), FLT_EPSILON);
}

// Guards a negative stored power (weights growing to infinity) and a huge one: the table uses
// the power clamped to 0..160, and the instance keeps what was stored.
TEST(WeightValues, OutOfRangePowerIsClampedForTheTable) {
    for (auto [stored, clamped] : {std::pair{-50, 0}, std::pair{900, 160}}) {
        Host wild(stored), tame(clamped);
        for (Host *h : {&wild, &tame}) {
            h->SetRegions({Around({{40, 6}})});
            h->BuildTable();
            ASSERT_NE(h->instance.weights, nullptr);
        }
        for (int32_t dy = 0; dy <= 6; ++dy)
            for (int32_t dx = 0; dx <= 40; ++dx) {
                ASSERT_TRUE(std::isfinite(wild.At(dx, dy)));
                ASSERT_EQ(wild.At(dx, dy), tame.At(dx, dy));
            }
        EXPECT_EQ(wild.instance.power, stored);
    }
}

// ---- Guards of the scale and failure ----

// A region whose arrays and counts disagree adds nothing to the extents, but its sample count
// still sets the scale.
TEST(WeightGuards, MalformedRegionCountsOnlyForTheScale) {
    Host host(0);
    host.SetRegions({Around({{1, 0}}), {{{500, 500}}, {}}});
    Region &odd = host.instance.regions.items[1];
    odd.sampleCount = 3;  // no array: malformed
    host.BuildTable();
    ASSERT_NE(host.instance.weights, nullptr);
    EXPECT_EQ(host.instance.weightStride, 2);  // extent 1 from the first region only
    EXPECT_EQ(host.At(1, 0), (float)(kFltMax / 768));
}

// Guards the 32-bit scale maxSamples * 256 wrapping negative from 2^23 samples: such a build
// gets no table and no regions, while one sample fewer still works.
TEST(WeightGuards, TwoToTheTwentyThirdSamplesGiveNoTable) {
    for (int32_t samples : {(1 << 23) - 1, 1 << 23}) {
        Host host(0);
        host.SetRegions({Around({{1, 0}}), {{{4, 4}}, {}}});
        Region &big = host.instance.regions.items[1];
        big.sampleCount = samples;
        host.BuildTable();
        if (samples < (1 << 23)) {
            ASSERT_NE(host.instance.weights, nullptr);
            EXPECT_EQ(host.At(1, 0), (float)(kFltMax / ((double)samples * 256)));
            EXPECT_EQ(host.instance.regions.count, 2);
        } else {
            EXPECT_EQ(host.instance.weights, nullptr);
            EXPECT_EQ(host.instance.regions.count, 0);
            EXPECT_EQ(host.instance.regions.items, nullptr);
        }
    }
}

TEST(WeightGuards, NoSamplesAnywhereReleasesTheList) {
    Host host;
    host.SetRegions({{{{3, 3}}, {}}});
    host.BuildTable();
    EXPECT_EQ(host.instance.weights, nullptr);
    EXPECT_EQ(host.instance.regions.count, 0);
}

// Guards a leak or a half-kept list when the table cannot be allocated.
TEST(WeightGuards, FailedTableAllocationReleasesTheList) {
    const long live = LiveAllocationCount();
    {
        Host host;
        host.SetRegions({Around({{3, 1}}), Around({{2, 2}})});
        host.instance.weights = static_cast<float *>(AllocateArray(2, sizeof(float)));
        FailAllocationAfter(1);
        host.BuildTable();
        FailAllocationAfter(0);
        EXPECT_EQ(host.instance.weights, nullptr);
        EXPECT_EQ(host.instance.regions.count, 0);
        EXPECT_EQ(host.instance.regions.items, nullptr);
    }
    EXPECT_EQ(LiveAllocationCount(), live);
}

}  // namespace
