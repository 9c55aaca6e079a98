// The first half of the region build: widening, labelling, region numbering, pixel lists, the
// final work plane, the build's guards, and its failure paths through the allocation seam.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "engine/regions.h"
#include "engine/render_repaint.h"
#include "host/memory.h"
#include "support/engine_helpers.h"
#include "support/reference_engine.h"
#include "support/test_host.h"

namespace {

// A host with an initialised instance and the given radius; other settings keep their defaults.
struct Host : TestHost {
    Host(int32_t w, int32_t h, int32_t radius, int32_t padding = 0) : TestHost(w, h, padding) {
        Init();
        instance.radius = radius;
    }
};

CellList Widened(Host &host) { return CellsHolding(host.instance.workMask, MASK_SET); }

// ---- Widening ----

// Guards a widening pass run at radius 0 (an off-by-one bound on the passes widens by one).
TEST(Widening, RadiusZeroKeepsTheGraymapAndSplitsItsComponents) {
    Host host(20, 16, 0);
    const CellList cells = {{3, 3}, {4, 3}, {4, 4}, {10, 8}};  // in plane order
    PlaceGraymapTight(host, cells);
    Build(host);
    EXPECT_EQ(Widened(host), cells);
    EXPECT_EQ(host.instance.regions.count, 2);
}

// Guards passes that look at distance 1 every time, or at the unwidened graymap, instead of at
// distance i on the mask the earlier passes widened: r passes must give half-side r(r+1)/2.
TEST(Widening, PassesGrowAPixelToTheTriangularSquare) {
    const int32_t halfSide[] = {0, 1, 3, 6, 10, 15};
    for (int32_t r = 1; r <= 5; ++r) {
        Host host(64, 64, r);
        const int32_t c = 32;
        // Rectangle 2r around the pixel on each side: the cut does not bite.
        const int32_t top = 64 - 1 - c;
        PlaceGraymap(host, {{c, c}}, c - 2 * r, top - 2 * r, c + 1 + 2 * r, top + 1 + 2 * r);
        Build(host);
        EXPECT_EQ(Widened(host), Square(c, c, halfSide[r])) << "radius " << r;
    }
}

// Guards a widening that ignores the placement rectangle: a rectangle of the one pixel cuts the
// radius-2 square (7 x 7) down to the rectangle widened by 2 (5 x 5).
TEST(Widening, GrowthIsCutToTheRectangleWidenedByTheRadius) {
    Host host(40, 40, 2);
    PlaceGraymapTight(host, {{20, 20}});
    Build(host);
    EXPECT_EQ(Widened(host), Square(20, 20, 2));
}

// Guards mixing picture rows (rectangle) with plane rows (cells): a mask in the top half and one
// in the bottom half must widen alike.
TEST(Widening, UpperAndLowerHalvesWidenAlike) {
    for (int32_t row : {5, 34}) {
        Host host(40, 40, 2);
        PlaceGraymapTight(host, {{20, row}});
        Build(host);
        EXPECT_EQ(Widened(host), Square(20, row, 2)) << "plane row " << row;
    }
}

// Guards reading outside the plane or wrapping into the neighbouring row at the frame's edge:
// cells beyond the edge count as clear, so a corner pixel grows only inside the frame.
TEST(Widening, FrameEdgesCountAsClearAndNothingWraps) {
    Host host(12, 10, 1);
    PlaceGraymap(host, {{11, 0}}, 0, 0, 12, 10);
    Build(host);
    EXPECT_EQ(Widened(host), (CellList{{10, 0}, {11, 0}, {10, 1}, {11, 1}}));
    // A wrapped read of (x - 1) at x = 0 of row 1 would have reached (11, 0).
    EXPECT_NE(Cell(host.instance.workMask, 0, 1), MASK_SET);

    // A radius larger than the frame: the clamped bounds cross, yet the late passes cover the
    // whole frame and look 10 cells past every edge. Nothing is lost; ASan sees every read.
    Host edge(8, 6, 10);
    CellList some = {{0, 0}, {7, 5}, {3, 2}};
    PlaceGraymap(edge, some, -4, -4, 20, 20);
    Build(edge);
    for (auto [x, row] : some) EXPECT_EQ(Cell(edge.instance.workMask, x, row), MASK_SET);
    EXPECT_EQ(edge.instance.maskLeft, 10);
    EXPECT_EQ(edge.instance.maskRight, -2);
}

TEST(Widening, BoundsAreClampedByTheRadiusAndStayClampedWhenItIsLowered) {
    Host host(30, 20, 5);
    // Graymap at column 0 whose rectangle runs past the right and bottom edges.
    PlaceGraymap(host, {{0, 10}, {2, 10}, {4, 10}}, 0, 2, 45, 27);
    Build(host);
    EXPECT_EQ(host.instance.maskLeft, 5);
    EXPECT_EQ(host.instance.maskTop, 5);
    EXPECT_EQ(host.instance.maskRight, 30 - 5);
    EXPECT_EQ(host.instance.maskBottom, 20 - 5);
    // Graymap pixels left of the clamped rectangle stay mask pixels.
    for (int32_t x : {0, 2, 4}) EXPECT_EQ(Cell(host.instance.workMask, x, 10), MASK_SET);

    // Guards re-deriving the rectangle on a rebuild: with the radius lowered to 1 the stale
    // left bound 5 keeps pass 1 from column 4, so the graymap pixels at 0..2 do not grow.
    host.instance.radius = 1;
    Build(host);
    EXPECT_EQ(host.instance.maskLeft, 5);
    EXPECT_NE(Cell(host.instance.workMask, 1, 10), MASK_SET);
    EXPECT_EQ(Cell(host.instance.workMask, 5, 10), MASK_SET);  // reached from (4, 10) by pass 1
    EXPECT_NE(Cell(host.instance.workMask, 0, 11), MASK_SET);
}

// ---- Labelling ----

TEST(Labelling, FourConnectivityJoinsEdgesNotCorners) {
    Host host(16, 16, 0);
    PlaceGraymapTight(host, {{4, 4}, {5, 5}, {9, 9}, {10, 9}, {9, 10}});
    Build(host);
    ASSERT_EQ(host.instance.regions.count, 3);
    EXPECT_EQ(host.instance.regions.items[0].pixelCount, 1);
    EXPECT_EQ(host.instance.regions.items[1].pixelCount, 1);
    EXPECT_EQ(host.instance.regions.items[2].pixelCount, 3);
}

// Guards joining vertical neighbours across fields: interlaced, rows 4 and 5 are two regions, but
// rows 4 and 6 (one field) are one even with row 5 clear.
TEST(Labelling, InterlacedSplitsTheFields) {
    for (bool interlaced : {false, true}) {
        Host host(16, 16, 0);
        host.instance.interlaced = interlaced;
        PlaceGraymapTight(host, {{3, 4}, {4, 4}, {3, 5}, {4, 5}, {9, 4}, {9, 6}});
        Build(host);
        ASSERT_EQ(host.instance.regions.count, 3) << interlaced;
        const RegionList &list = host.instance.regions;
        if (interlaced) {
            EXPECT_EQ(PixelsOf(list.items[0]), (CellList{{3, 4}, {4, 4}}));
            EXPECT_EQ(PixelsOf(list.items[1]), (CellList{{9, 4}, {9, 6}}));
            EXPECT_EQ(PixelsOf(list.items[2]), (CellList{{3, 5}, {4, 5}}));
        } else {
            EXPECT_EQ(PixelsOf(list.items[0]), (CellList{{3, 4}, {4, 4}, {3, 5}, {4, 5}}));
            EXPECT_EQ(PixelsOf(list.items[1]), (CellList{{9, 4}}));
            EXPECT_EQ(PixelsOf(list.items[2]), (CellList{{9, 6}}));
        }
    }
}

// Guards numbering regions by their root cell (or by discovery in the join pass) instead of by
// their first cell in plane order, and pixel lists out of plane order.
TEST(Labelling, RegionsAreNumberedByFirstCellAndListPixelsInPlaneOrder) {
    Host host(20, 16, 0);
    // A: a U open downwards whose two legs meet only at row 8, so the join pass first sees two
    // trees; B: a dot on A's first row, further right; C: a dot on a lower row, far right.
    CellList a = {{2, 3}, {6, 3}, {2, 4}, {6, 4}, {2, 5}, {6, 5}, {2, 6}, {3, 6}, {4, 6}, {5, 6}, {6, 6}};
    CellList b = {{10, 3}};
    CellList c = {{15, 1}, {15, 2}, {16, 2}};
    CellList all = a;
    all.insert(all.end(), b.begin(), b.end());
    all.insert(all.end(), c.begin(), c.end());
    PlaceGraymapTight(host, all);
    Build(host);
    const RegionList &list = host.instance.regions;
    ASSERT_EQ(list.count, 3);
    EXPECT_EQ(PixelsOf(list.items[0]), c);
    EXPECT_EQ(PixelsOf(list.items[1]), a);
    EXPECT_EQ(PixelsOf(list.items[2]), b);
    for (int32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(list.items[i].tally, list.items[i].pixelCount);
        EXPECT_EQ(list.items[i].pixelsFilled, list.items[i].pixelCount);
        EXPECT_TRUE(list.items[i].used);
    }
}

// Guards numbering by the position of the label root: here the join pass hangs the tree of
// (5, 3) under the later cell (4, 4), whose position comes after the first cell of the dot (8, 3).
TEST(Labelling, NumberingDoesNotFollowTheRootCell) {
    Host host(12, 8, 0);
    PlaceGraymapTight(host, {{5, 3}, {8, 3}, {4, 4}, {5, 4}});
    Build(host);
    const RegionList &list = host.instance.regions;
    ASSERT_EQ(list.count, 2);
    EXPECT_EQ(PixelsOf(list.items[0]), (CellList{{5, 3}, {4, 4}, {5, 4}}));
    EXPECT_EQ(PixelsOf(list.items[1]), (CellList{{8, 3}}));
}

TEST(Labelling, FindLabelRootCompressesTheWholePath) {
    // A chain 4 -> 3 -> 1 -> 0 (links are signed distances), cell 2 background.
    uint32_t cells[5] = {0, (uint32_t)-1, LABEL_BACKGROUND, (uint32_t)-2, (uint32_t)-1};
    EXPECT_EQ(FindLabelRoot(&cells[4]), &cells[0]);
    EXPECT_EQ((int32_t)cells[4], -4);
    EXPECT_EQ((int32_t)cells[3], -3);
    EXPECT_EQ((int32_t)cells[1], -1);
    EXPECT_EQ(FindLabelRoot(&cells[2]), &cells[2]);
    EXPECT_EQ(FindLabelRoot(&cells[0]), &cells[0]);
}

TEST(Labelling, JoinLabelsHangsTheSecondRootUnderTheFirst) {
    uint32_t cells[6] = {0, 0, LABEL_BACKGROUND, 0, (uint32_t)-1, 0};
    JoinLabels(&cells[5], &cells[1]);
    EXPECT_EQ((int32_t)cells[1], 4);  // parent of 1 is 5
    EXPECT_EQ(cells[5], 0u);
    // Guards joining a tree with the background.
    JoinLabels(&cells[2], &cells[0]);
    JoinLabels(&cells[0], &cells[2]);
    EXPECT_EQ(cells[0], 0u);
    EXPECT_EQ(cells[2], LABEL_BACKGROUND);
    // Joining a tree with itself changes nothing but compression.
    JoinLabels(&cells[4], &cells[3]);
    EXPECT_EQ(cells[3], 0u);
    EXPECT_EQ((int32_t)cells[4], -1);
}

// ---- What a build leaves ----

// Guards a work plane left with pending marks or label values, or marks that disagree with the
// sample lists: afterwards it holds exactly 0, MASK_SET for the widened mask and SAMPLE_TAKEN
// for the distinct samples of all regions.
TEST(BuildResult, WorkPlaneHoldsMaskAndDistinctSamplesOnly) {
    Host host(40, 30, 2);
    PlaceGraymapTight(host, {{8, 8}, {9, 8}, {15, 8}, {30, 20}, {31, 21}});
    Build(host);
    const RegionList &list = host.instance.regions;
    ASSERT_GE(list.count, 2);
    CellSet distinct, pixels;
    for (int32_t i = 0; i < list.count; ++i) {
        for (auto s : SamplesOf(list.items[i])) distinct.insert(s);
        for (auto p : PixelsOf(list.items[i])) pixels.insert(p);
    }
    CellList taken = CellsHolding(host.instance.workMask, SAMPLE_TAKEN);
    EXPECT_EQ(CellSet(taken.begin(), taken.end()), distinct);
    CellList mask = Widened(host);
    EXPECT_EQ(CellSet(mask.begin(), mask.end()), pixels);
    EXPECT_EQ(taken.size() + mask.size() + CellsHolding(host.instance.workMask, 0).size(), 40u * 30u);
    EXPECT_FALSE(host.instance.rebuildPending);
}

TEST(BuildResult, EmptyGraymapGivesNoRegionsAClearPlaneAndNoTable) {
    Host host(16, 12, 3);
    PlaceGraymapTight(host, {{5, 5}});
    Build(host);
    ASSERT_NE(host.instance.weights, nullptr);
    PlaceGraymap(host, {}, 2, 2, 10, 10);
    host.instance.rebuildPending = true;
    Build(host);
    EXPECT_EQ(host.instance.regions.count, 0);
    EXPECT_EQ(host.instance.regions.items, nullptr);
    EXPECT_EQ(CellsHolding(host.instance.workMask, 0).size(), 16u * 12u);
    EXPECT_EQ(host.instance.weights, nullptr);  // the table is rebuilt, and empty
    EXPECT_FALSE(host.instance.rebuildPending);
}

TEST(BuildResult, MissingGraymapReleasesRegionsAndKeepsPlanesAndTable) {
    Host host(16, 12, 1);
    PlaceGraymapTight(host, {{5, 5}});
    Build(host);
    float *table = host.instance.weights;
    ASSERT_NE(table, nullptr);
    const uint32_t before = Cell(host.instance.workMask, 5, 5);
    ReleaseMaskImage(&host.instance.graymap);
    host.instance.rebuildPending = true;
    Build(host);
    EXPECT_EQ(host.instance.regions.count, 0);
    EXPECT_EQ(host.instance.regions.items, nullptr);
    EXPECT_EQ(host.instance.weights, table);
    EXPECT_EQ(Cell(host.instance.workMask, 5, 5), before);
    EXPECT_FALSE(host.instance.rebuildPending);
}

// Guards reading a graymap placed for a smaller or larger frame past its end.
TEST(BuildResult, GraymapOfAnotherFrameSizeGivesNoRegions) {
    for (auto [w, h] : {std::pair{10, 8}, std::pair{40, 30}}) {
        Host host(20, 16, 2);
        PlaceGraymapTight(host, {{5, 5}, {12, 10}});
        host.ResizeFrames(w, h);
        host.instance.rebuildPending = true;
        Build(host);
        EXPECT_EQ(host.instance.regions.count, 0);
        EXPECT_EQ(host.instance.regions.items, nullptr);
        EXPECT_FALSE(host.instance.rebuildPending);
    }
}

// Guards building with out-of-range stored settings: the build uses them clamped (radius 10,
// depth 80 / 10, pixel aspect +-120) and leaves the stored values alone.
TEST(BuildResult, OutOfRangeSettingsBuildLikeTheirClampedValues) {
    struct Case {
        int32_t radius, depth, aspect, cRadius, cDepth, cAspect;
    } cases[] = {{50, 500, 1000, 10, 80, 120}, {-3, -7, -1000, 0, 10, -120}};
    for (const Case &c : cases) {
        Host wild(70, 60, c.radius), tame(70, 60, c.cRadius);
        wild.instance.depth = c.depth;
        wild.instance.pixelAspect = c.aspect;
        tame.instance.depth = c.cDepth;
        tame.instance.pixelAspect = c.cAspect;
        for (Host *h : {&wild, &tame}) PlaceGraymap(*h, {{30, 30}, {33, 31}}, 20, 20, 45, 45);
        Build(wild);
        Build(tame);
        EXPECT_TRUE(SameRegions(wild.instance.regions, tame.instance.regions));
        EXPECT_TRUE(SamePlane(wild.instance.workMask, tame.instance.workMask));
        EXPECT_EQ(wild.instance.radius, c.radius);
        EXPECT_EQ(wild.instance.depth, c.depth);
        EXPECT_EQ(wild.instance.pixelAspect, c.aspect);
    }
}

// Guards a build that leaves the repaint without its per-build plan (the slow loop every frame),
// or keeps a plan of released regions that a new list at the same address would seem to match.
TEST(BuildResult, CompletedBuildPreparesTheRepaintPlanAndAnyOtherDropsIt) {
    Host host(24, 16, 1);
    PlaceGraymapTight(host, {{4, 4}, {12, 9}});
    Build(host);
    EXPECT_TRUE(RepaintPlanMatches(&host.instance));
    EXPECT_NE(host.instance.repaintPlan, nullptr);
    FailAllocationAfter(1);  // the region list of the rebuild
    Build(host);
    FailAllocationAfter(0);
    EXPECT_EQ(host.instance.regions.count, 0);
    EXPECT_EQ(host.instance.repaintPlan, nullptr);
}

// ---- Failure paths ----

// What a failed build left in the work plane tells at which step it failed.
enum FailedStep { PLANES, LABELS, SAMPLES, TABLE };

FailedStep ClassifyFailure(const MaskImage &work, size_t widenedCells) {
    const size_t n = (size_t)work.width * work.height;
    if (!work.pixels || CellsHolding(work, 0).size() == n) return PLANES;
    if (!CellsHolding(work, SAMPLE_PENDING).empty()) return SAMPLES;
    if (!CellsHolding(work, LABEL_BACKGROUND).empty()) {
        // The labels stay: background outside the widened mask, links (never MASK_SET) inside.
        EXPECT_TRUE(CellsHolding(work, MASK_SET).empty());
        EXPECT_EQ(n - CellsHolding(work, LABEL_BACKGROUND).size(), widenedCells);
        return LABELS;
    }
    return TABLE;
}

// Every allocation of a first build (planes, region list, lookup aid, pixel and sample arrays,
// weight table, repaint plan) is made to fail in turn. Guards leaks, half-built lists and a
// restored mask on the failure path: a failed build leaves no regions, the old table (unless the
// table's own allocation failed, which leaves none) and the work plane as it was at the failing
// step; a build that survives the failure of an optional aid equals the reference build.
TEST(BuildFailure, EveryAllocationFailureLeavesNoRegionsAndNoLeak) {
    const CellList cells = {{4, 4}, {5, 4}, {12, 9}, {20, 3}, {21, 4}, {3, 15}};
    for (bool interlaced : {false, true}) {
        auto setUp = [&](Host &h) {
            h.instance.interlaced = interlaced;
            PlaceGraymapTight(h, cells);
        };
        long total = 0;
        int32_t regions = 0;
        size_t widened = 0;
        {
            Host probe(28, 20, 2);
            setUp(probe);
            const long start = AllocationCount();
            Build(probe);
            total = AllocationCount() - start;
            regions = probe.instance.regions.count;
            widened = Widened(probe).size();
            ASSERT_GE(regions, 3);
        }
        int failures[4] = {0, 0, 0, 0};
        for (long n = 1; n <= total; ++n) {
            const long liveBefore = LiveAllocationCount();
            {
                Host host(28, 20, 2), ref(28, 20, 2);
                setUp(host);
                setUp(ref);
                float *oldTable = static_cast<float *>(AllocateArray(4, sizeof(float)));
                host.instance.weights = oldTable;
                FailAllocationAfter(n);
                Build(host);
                FailAllocationAfter(0);
                EXPECT_FALSE(host.instance.rebuildPending);
                if (host.instance.regions.count == 0) {
                    EXPECT_EQ(host.instance.regions.items, nullptr) << "n " << n;
                    FailedStep step = ClassifyFailure(host.instance.workMask, widened);
                    ++failures[step];
                    EXPECT_EQ(host.instance.weights, step == TABLE ? nullptr : oldTable) << "n " << n;
                } else {
                    ReferenceBuildRemovalRegions(&ref.instance, &ref.activation);
                    EXPECT_TRUE(SameRegions(host.instance.regions, ref.instance.regions)) << "n " << n;
                    EXPECT_TRUE(SamePlane(host.instance.workMask, ref.instance.workMask)) << "n " << n;
                    EXPECT_NE(host.instance.weights, nullptr) << "n " << n;
                }
            }
            EXPECT_EQ(LiveAllocationCount(), liveBefore) << "n " << n;
        }
        // Both planes; the list and every pixel array; every sample array; the table.
        EXPECT_EQ(failures[PLANES], 2);
        EXPECT_EQ(failures[LABELS], 1 + regions);
        EXPECT_EQ(failures[SAMPLES], regions);
        EXPECT_EQ(failures[TABLE], 1);
    }
}

}  // namespace
