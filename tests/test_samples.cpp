// Border samples: the border-pixel test, the sample window for each depth, aspect and field
// mode, frame edges, samples shared between regions, the marks in the work plane, and the
// failure path of a sample array.
#include <gtest/gtest.h>

#include "engine/regions.h"
#include "host/memory.h"
#include "support/engine_helpers.h"
#include "support/test_host.h"

namespace {

using Offsets = std::set<std::pair<int32_t, int32_t>>;

struct Host : TestHost {
    Host(int32_t w, int32_t h, int32_t depth, int32_t aspect = 0, bool interlaced = false)
        : TestHost(w, h, 12) {  // padded rows: byteOffset must use the pitch, not 4 * width
        Init();
        instance.radius = 0;
        instance.depth = depth;
        instance.pixelAspect = aspect;
        instance.interlaced = interlaced;
    }
};

// The samples of the region of one mask pixel at (x, row), as offsets from it.
Offsets SingleRegionOffsets(Host &host, int32_t x, int32_t row) {
    PlaceGraymapTight(host, {{x, row}});
    Build(host);
    Offsets out;
    if (host.instance.regions.count != 1) return out;
    for (auto [sx, sy] : SamplesOf(host.instance.regions.items[0])) out.emplace(sx - x, sy - row);
    return out;
}

// Offsets (dx, dy) with dx^2 + dy^2 <= limit2, centre excluded.
Offsets Disc(int32_t limit2) {
    Offsets out;
    for (int32_t dy = -10; dy <= 10; ++dy)
        for (int32_t dx = -10; dx <= 10; ++dx)
            if ((dx || dy) && dx * dx + dy * dy <= limit2) out.emplace(dx, dy);
    return out;
}

// ---- The window ----

TEST(SampleWindow, DepthTenTakesTheFourDirectNeighbours) {
    Host host(30, 30, 10);
    EXPECT_EQ(SingleRegionOffsets(host, 15, 15), Disc(1));
}

TEST(SampleWindow, DepthFifteenTakesTheThreeByThreeNeighbourhood) {
    Host host(30, 30, 15);
    EXPECT_EQ(SingleRegionOffsets(host, 15, 15), Disc(2));
}

// Guards a strict comparison with the depth limit: at depth 20 the cell at distance 2 lies on
// the ellipse and is taken.
TEST(SampleWindow, DepthTwentyIncludesCellsOnTheEllipse) {
    Host host(30, 30, 20);
    Offsets got = SingleRegionOffsets(host, 15, 15);
    EXPECT_EQ(got, Disc(4));
    EXPECT_EQ(got.count({2, 0}), 1u);
    EXPECT_EQ(got.count({2, 1}), 0u);
}

// Guards the field split of the window: interlaced, a pixel takes its horizontal neighbours and
// the cells two rows away in its column (allowed by the neighbour rule, not the ellipse), and
// nothing from the other field.
TEST(SampleWindow, InterlacedTakesOnlyTheOwnField) {
    Host host(30, 30, 15, 0, true);
    EXPECT_EQ(SingleRegionOffsets(host, 15, 15), (Offsets{{-1, 0}, {1, 0}, {0, -2}, {0, 2}}));
}

// Guards a window start clamped to row 0 instead of stepped up within the field: near the bottom
// the window starts at row 1 (the lowest odd row), so row 0 is never looked at.
TEST(SampleWindow, InterlacedWindowNearTheBottomStaysInItsField) {
    Host host(30, 30, 15, 0, true);
    EXPECT_EQ(SingleRegionOffsets(host, 15, 1), (Offsets{{-1, 0}, {1, 0}, {0, 2}}));
}

// Guards applying the aspect to the limit instead of dividing it out of the distances, and the
// reach computed from the wrong scale.
TEST(SampleWindow, PixelAspectStretchesTheEllipse) {
    Host tall(30, 30, 15, 30);
    Offsets t = SingleRegionOffsets(tall, 15, 15);
    EXPECT_EQ(t.count({0, 3}), 1u);  // (3 / 2)^2 = 2.25, on the ellipse
    EXPECT_EQ(t.count({2, 0}), 0u);
    EXPECT_EQ(t.count({0, 4}), 0u);
    Host wide(30, 30, 15, -30);
    Offsets w = SingleRegionOffsets(wide, 15, 15);
    EXPECT_EQ(w.count({3, 0}), 1u);
    EXPECT_EQ(w.count({0, 2}), 0u);
    // Mirror images of each other.
    Offsets mirrored;
    for (auto [dx, dy] : t) mirrored.emplace(dy, dx);
    EXPECT_EQ(mirrored, w);
}

// Guards a window that wraps from column 0 into the previous row's right end, or reads past the
// frame at its corners.
TEST(SampleWindow, FrameEdgesCutTheWindow) {
    Host left(20, 12, 15);
    EXPECT_EQ(SingleRegionOffsets(left, 0, 5), (Offsets{{0, -1}, {1, -1}, {1, 0}, {0, 1}, {1, 1}}));
    Host corner(20, 12, 15);
    EXPECT_EQ(SingleRegionOffsets(corner, 19, 11), (Offsets{{-1, 0}, {-1, -1}, {0, -1}}));
}

// ---- Border pixels, sharing and marks ----

TEST(SampleLists, SamplesArePlaneOrderedUniqueAndOffsetByThePitch) {
    Host host(30, 20, 15);
    PlaceGraymapTight(host, {{10, 8}, {11, 8}, {12, 8}, {11, 9}});
    Build(host);
    ASSERT_EQ(host.instance.regions.count, 1);
    const Region &r = host.instance.regions.items[0];
    CellList samples = SamplesOf(r);
    // Union of the 3 x 3 neighbourhoods of the four pixels, minus the pixels: 14 cells.
    CellSet expected;
    for (auto [x, y] : CellList{{10, 8}, {11, 8}, {12, 8}, {11, 9}})
        for (int32_t dy = -1; dy <= 1; ++dy)
            for (int32_t dx = -1; dx <= 1; ++dx) expected.emplace(x + dx, y + dy);
    for (auto p : CellList{{10, 8}, {11, 8}, {12, 8}, {11, 9}}) expected.erase(p);
    EXPECT_EQ(CellSet(samples.begin(), samples.end()), expected);
    EXPECT_EQ(samples.size(), expected.size());  // no duplicates
    for (size_t k = 1; k < samples.size(); ++k) {
        auto a = samples[k - 1], b = samples[k];
        EXPECT_TRUE(a.second < b.second || (a.second == b.second && a.first < b.first)) << k;
    }
    for (int32_t k = 0; k < r.sampleCount; ++k)
        EXPECT_EQ(r.samples[k].byteOffset, r.samples[k].y * host.src.pitch + 4 * r.samples[k].x);
    EXPECT_EQ(r.samplesFilled, r.sampleCount);
}

// Guards a sample mark that excludes a cell from every later region (SAMPLE_TAKEN must be
// taken again) and a shared cell listed twice.
TEST(SampleLists, CellsBetweenTwoRegionsAreSamplesOfBoth) {
    Host host(30, 20, 20);
    PlaceGraymapTight(host, {{5, 10}, {9, 10}});
    Build(host);
    ASSERT_EQ(host.instance.regions.count, 2);
    CellList a = SamplesOf(host.instance.regions.items[0]);
    CellList b = SamplesOf(host.instance.regions.items[1]);
    CellSet sa(a.begin(), a.end()), sb(b.begin(), b.end());
    EXPECT_EQ(sa.size(), a.size());
    EXPECT_EQ(sb.size(), b.size());
    EXPECT_EQ(sa.count({7, 10}), 1u);
    EXPECT_EQ(sb.count({7, 10}), 1u);
    CellSet all = sa;
    all.insert(sb.begin(), sb.end());
    EXPECT_EQ(CellsHolding(host.instance.workMask, SAMPLE_TAKEN).size(), all.size());
    EXPECT_TRUE(CellsHolding(host.instance.workMask, SAMPLE_PENDING).empty());
}

// Guards a border test that counts the frame edge or the other field as outside: a field that is
// entirely mask has no border pixel and no samples, while a region of the other field has some.
TEST(SampleLists, RegionWithoutBorderPixelHasNoSamples) {
    Host host(10, 8, 15, 0, true);
    CellList cells;
    for (int32_t row = 0; row < 8; row += 2)
        for (int32_t x = 0; x < 10; ++x) cells.emplace_back(x, row);
    cells.emplace_back(4, 3);
    PlaceGraymap(host, cells, 0, 0, 10, 8);
    Build(host);
    ASSERT_EQ(host.instance.regions.count, 2);
    const Region &field = host.instance.regions.items[0];
    EXPECT_EQ(field.pixelCount, 40);
    EXPECT_EQ(field.sampleCount, 0);
    EXPECT_EQ(field.samples, nullptr);
    CellList dot = SamplesOf(host.instance.regions.items[1]);
    EXPECT_EQ(dot, (CellList{{4, 1}, {3, 3}, {5, 3}, {4, 5}}));
    EXPECT_NE(host.instance.weights, nullptr);
}

// Without any sample in any region there is nothing to repaint from: the list is released.
TEST(SampleLists, MaskOverTheWholeFrameLeavesNoRegions) {
    Host host(6, 5, 15);
    CellList cells;
    for (int32_t row = 0; row < 5; ++row)
        for (int32_t x = 0; x < 6; ++x) cells.emplace_back(x, row);
    PlaceGraymap(host, cells, 0, 0, 6, 5);
    Build(host);
    EXPECT_EQ(host.instance.regions.count, 0);
    EXPECT_EQ(host.instance.regions.items, nullptr);
    EXPECT_EQ(host.instance.weights, nullptr);
    EXPECT_EQ(CellsHolding(host.instance.workMask, MASK_SET).size(), 30u);
}

// ---- Failure of a sample array ----

// Guards storing or clearing marks after a failed sample array, and stopping the marking: no
// region is stored after the failure, every later region's window is still marked, the list is
// released and the old table stays. Neighbouring regions share the cells between them.
TEST(SampleFailure, MarksMadeSoFarStayAndTheListIsReleased) {
    const CellList dots = {{5, 10}, {9, 10}, {13, 10}};
    for (int32_t failing = 0; failing < 3; ++failing) {
        Host host(30, 20, 20);
        PlaceGraymapTight(host, dots);
        Build(host);
        ASSERT_EQ(host.instance.regions.count, 3);
        std::vector<CellSet> sets;
        for (int32_t i = 0; i < 3; ++i) {
            CellList l = SamplesOf(host.instance.regions.items[i]);
            sets.emplace_back(l.begin(), l.end());
        }
        // The first allocation of a rebuild whose failure leaves pending marks is region 0's
        // sample array; the other regions' arrays follow it.
        long first = 0;
        for (long n = 1; n < 64 && !first; ++n) {
            FailAllocationAfter(n);
            Build(host);
            FailAllocationAfter(0);
            if (!CellsHolding(host.instance.workMask, SAMPLE_PENDING).empty()) first = n;
        }
        ASSERT_GT(first, 0);
        Build(host);
        float *table = host.instance.weights;
        ASSERT_NE(table, nullptr);
        FailAllocationAfter(first + failing);
        Build(host);
        FailAllocationAfter(0);
        EXPECT_EQ(host.instance.regions.count, 0);
        EXPECT_EQ(host.instance.regions.items, nullptr);
        EXPECT_EQ(host.instance.weights, table);
        // Regions before the failing one were stored (SAMPLE_TAKEN, which later regions may mark
        // again); the failing one and all after it are left marked SAMPLE_PENDING.
        CellSet pending, taken;
        for (int32_t i = failing; i < 3; ++i) pending.insert(sets[i].begin(), sets[i].end());
        for (int32_t i = 0; i < failing; ++i)
            for (auto c : sets[i])
                if (!pending.count(c)) taken.insert(c);
        CellList gotPending = CellsHolding(host.instance.workMask, SAMPLE_PENDING);
        CellList gotTaken = CellsHolding(host.instance.workMask, SAMPLE_TAKEN);
        EXPECT_EQ(CellSet(gotPending.begin(), gotPending.end()), pending) << "failing " << failing;
        EXPECT_EQ(CellSet(gotTaken.begin(), gotTaken.end()), taken) << "failing " << failing;
    }
}

}  // namespace
