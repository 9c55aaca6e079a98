// Frame rendering: the three modes, the cases that fall back to a copy of the source, the mask
// picture, and the exact arithmetic of the repaint. Regions and weight tables are built by hand
// here (the weights by the table formula, computed independently of the engine), so every
// expected value follows from the inputs of the test.
#include <gtest/gtest.h>

#include <cfenv>
#include <cfloat>
#include <cmath>
#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "engine/render.h"
#include "engine/render_repaint.h"
#include "host/instance.h"
#include "host/memory.h"
#include "host/params.h"
#include "subtitles/subtitles.h"
#include "support/engine_helpers.h"
#include "support/test_host.h"

namespace {

struct SampleSpec {
    int32_t x, y;
};

// Gives region `index` of an already allocated list its pixels and samples (plane positions).
void FillRegion(TestHost &host, int32_t index, const std::vector<RegionPixel> &pixels,
                const std::vector<SampleSpec> &samples) {
    Region &region = host.instance.regions.items[index];
    region.pixelCount = region.pixelsFilled = (int32_t)pixels.size();
    region.pixels = pixels.empty() ? nullptr
                                   : static_cast<RegionPixel *>(AllocateArray(pixels.size(), sizeof(RegionPixel)));
    for (size_t i = 0; i < pixels.size(); ++i) region.pixels[i] = pixels[i];
    region.sampleCount = region.samplesFilled = (int32_t)samples.size();
    region.samples = samples.empty()
                         ? nullptr
                         : static_cast<BorderSample *>(AllocateArray(samples.size(), sizeof(BorderSample)));
    for (size_t i = 0; i < samples.size(); ++i)
        region.samples[i] = {samples[i].x, samples[i].y, (int32_t)(samples[i].y * host.src.pitch + 4 * samples[i].x)};
}

// The weight table as the distance formula defines it, for the given extents and settings,
// non-interlaced: K / d2^g with K = FLT_MAX / (maxSamples * 256), g = power * 0.05f, floored at
// FLT_EPSILON, stored as float; entry (0, 0) is 0.
// With `interlaced` the layout of the interlaced table: maxDx made odd, rows only for even dy,
// stride half a row; the entries of the table that no lookup reads hold NaN.
void GiveWeights(TestHost &host, int32_t maxDx, int32_t maxDy, int32_t maxSamples, int32_t power,
                 int32_t pixelAspect = 0, bool interlaced = false) {
    RemovalInstance &i = host.instance;
    if (interlaced && maxDx % 2 == 0) ++maxDx;
    const int32_t rowLength = maxDx + 1;
    const size_t size = (size_t)rowLength * (size_t)(maxDy + 1);
    FreeMemory(i.weights);
    i.weights = static_cast<float *>(AllocateArray(size, sizeof(float)));
    for (size_t n = 0; n < size; ++n) i.weights[n] = std::nanf("");
    i.weightStride = interlaced ? rowLength / 2 : rowLength;
    i.interlaced = interlaced;
    const double k = (double)FLT_MAX / (double)(maxSamples << 8);
    const double g = (double)power * (double)0.05f;
    const double sx = AspectScaleX(pixelAspect), sy = AspectScaleY(pixelAspect);
    const double sx2 = sx * sx, sy2 = sy * sy;
    for (int32_t dy = 0; dy <= maxDy; dy += interlaced ? 2 : 1)
        for (int32_t dx = 0; dx <= maxDx; ++dx) {
            float &entry = i.weights[dy * i.weightStride + dx];
            if (dx == 0 && dy == 0) {
                entry = 0.0f;
                continue;
            }
            double w = k / std::pow((double)(dx * dx) * sx2 + (double)(dy * dy) * sy2, g);
            if (!(w >= (double)FLT_EPSILON)) w = FLT_EPSILON;
            entry = (float)w;
        }
}

// Puts the instance into the state the frame selection leaves for a frame whose subtitle is
// already current: one entry covering every frame, current, no rebuild pending, and a work mask
// of the frame's size.
void MakeSubtitleCurrent(TestHost &host) {
    RemovalInstance &i = host.instance;
    i.subtitles.entries = static_cast<SubtitleEntry *>(AllocateArray(1, sizeof(SubtitleEntry)));
    i.subtitles.entries[0] = {0, 1000000, 0, 0};
    i.subtitles.count = 1;
    i.currentSubtitle = 0;
    i.rebuildPending = false;
    ASSERT_TRUE(PrepareMaskImage(&i, &i.workMask));
}

void FillDestination(TestHost &host, uint8_t value) { std::memset(host.dstBuffer.data(), value, host.dstBuffer.size()); }

bool DestinationEqualsSource(const TestHost &host) {
    return std::memcmp(host.dstBuffer.data(), host.srcBuffer.data(), (size_t)host.src.size) == 0;
}

uint32_t Channel(uint32_t pixel, int shift) { return (pixel >> shift) & 0xFF; }

// ---- Modes and the cases that produce a copy ----

// Guards against a partial copy (row padding) or a subtitle load in Original mode.
TEST(RenderModes, OriginalCopiesEveryByteAndSelectsNoSubtitle) {
    TestHost host(20, 10, 12);
    host.Init();
    host.FillSourcePattern(1);
    FillDestination(host, 0xCD);
    RemovalInstance &i = host.instance;
    i.subtitles.entries = static_cast<SubtitleEntry *>(AllocateArray(1, sizeof(SubtitleEntry)));
    i.subtitles.entries[0] = {0, 100, 2, 2};
    i.subtitles.count = 1;
    i.currentSubtitle = -1;
    i.mode = MODE_ORIGINAL;
    EXPECT_EQ(RenderFrame(&host.activation, nullptr), 0);
    EXPECT_TRUE(DestinationEqualsSource(host));  // the padding between rows included
    // Guards against selecting (and so loading) a subtitle in Original mode.
    EXPECT_EQ(i.currentSubtitle, -1);
    EXPECT_EQ(i.graymap.pixels, nullptr);
}

// Guards against handing the host back its uninitialised buffer for an unknown mode.
TEST(RenderModes, UnknownModesPassTheSourceThrough) {
    for (int32_t mode : {3, -1, 1000}) {
        TestHost host(9, 7, 4);
        host.Init();
        host.FillSourcePattern(2);
        FillDestination(host, 0x5A);
        host.instance.mode = mode;
        EXPECT_EQ(RenderFrame(&host.activation, nullptr), 0);
        EXPECT_TRUE(DestinationEqualsSource(host)) << mode;
    }
}

// Guards against selecting frames through a stale activation (the host may move it).
TEST(RenderModes, RenderFrameStoresItsActivation) {
    TestHost host;
    host.Init();
    host.instance.activation = nullptr;
    RenderFrame(&host.activation, nullptr);
    EXPECT_EQ(host.instance.activation, &host.activation);
}

// Guards against touching the frame when there is nothing to remove.
TEST(RenderModes, FinalWithoutSubtitleOrWithoutRegionsIsACopy) {
    TestHost host(16, 12, 8);
    host.Init();
    host.FillSourcePattern(3);
    host.instance.mode = MODE_FINAL;
    FillDestination(host, 0x11);
    RenderFrame(&host.activation, nullptr);  // no subtitle list at all
    EXPECT_TRUE(DestinationEqualsSource(host));

    MakeSubtitleCurrent(host);  // subtitle present, region list empty
    FillDestination(host, 0x22);
    RenderFrame(&host.activation, nullptr);
    EXPECT_TRUE(DestinationEqualsSource(host));
}

// Guards the open point: where the repaint cannot run, the output is the source, never the
// buffer as the host handed it over.
TEST(RenderModes, FinalWithUnusableRegionDataIsACopy) {
    TestHost host(16, 12, 8);
    host.Init();
    host.FillSourcePattern(4);
    host.instance.mode = MODE_FINAL;
    MakeSubtitleCurrent(host);
    RemovalInstance &i = host.instance;

    i.regions.count = 2;  // count without items
    FillDestination(host, 0x33);
    RenderFrame(&host.activation, nullptr);
    EXPECT_TRUE(DestinationEqualsSource(host));
    i.regions.count = 0;

    ReleaseMaskImage(&i.workMask);  // mask absent
    FillDestination(host, 0x44);
    RenderFrame(&host.activation, nullptr);
    EXPECT_TRUE(DestinationEqualsSource(host));
}

// Guards against repainting with regions built for another frame size.
TEST(RenderModes, FinalWithAMaskOfAnotherSizeIsACopy) {
    TestHost host(16, 12, 8);
    host.Init();
    host.instance.mode = MODE_FINAL;
    MakeSubtitleCurrent(host);
    ASSERT_TRUE(AllocateRegionList(&host.instance.regions, 1));
    FillRegion(host, 0, {{5, 5}}, {{4, 5}});
    GiveWeights(host, 1, 0, 1, 40);
    host.ResizeFrames(16, 13, 8);  // the frame grew since the mask was built
    host.FillSourcePattern(5);
    FillDestination(host, 0x55);
    RenderFrame(&host.activation, nullptr);
    EXPECT_TRUE(DestinationEqualsSource(host));
}

// ---- The mask picture ----

// Guards against flipping or shifting the mask rows, and against writing the row padding.
TEST(MaskOnly, RowsShowThePlaneAndTheBytesBetweenRowsAreKept) {
    TestHost host(6, 5, 12);
    host.Init();
    host.FillSourcePattern(6);
    MakeSubtitleCurrent(host);
    MaskImage &mask = host.instance.workMask;
    for (int32_t row = 0; row < 5; ++row)
        for (int32_t x = 0; x < 6; ++x) Cell(mask, x, row) = (x + row) % 3 == 0 ? MASK_SET : (x == row ? SAMPLE_TAKEN : 0);
    host.instance.mode = MODE_MASK_ONLY;
    FillDestination(host, 0xEE);
    EXPECT_EQ(RenderFrame(&host.activation, nullptr), 0);
    for (int32_t row = 0; row < 5; ++row) {
        for (int32_t x = 0; x < 6; ++x) EXPECT_EQ(host.Dst(x, row), Cell(mask, x, row)) << x << "," << row;
        // Guards against writing the row padding (the host may keep data there).
        const uint8_t *gap = host.dstBuffer.data() + row * host.dst.pitch + 6 * 4;
        for (int b = 0; b < 12; ++b) EXPECT_EQ(gap[b], 0xEE) << "row " << row;
    }
}

// Specified behaviour, not a fault: a frame without a subtitle shows the last built mask, since
// only a rebuild changes the work plane.
TEST(MaskOnly, AFrameWithoutSubtitleShowsTheLastBuiltMask) {
    TestHost host(8, 6, 4);
    host.Init();
    RemovalInstance &i = host.instance;
    ASSERT_TRUE(PrepareMaskImage(&i, &i.workMask));
    Cell(i.workMask, 3, 2) = MASK_SET;
    Cell(i.workMask, 4, 2) = SAMPLE_TAKEN;
    i.currentSubtitle = -1;
    i.mode = MODE_MASK_ONLY;
    FillDestination(host, 0x77);
    RenderFrame(&host.activation, nullptr);
    EXPECT_EQ(host.Dst(3, 2), MASK_SET);
    EXPECT_EQ(host.Dst(4, 2), SAMPLE_TAKEN);
    EXPECT_EQ(host.Dst(0, 0), 0u);
}

// Guards the open point for the mask picture: no usable mask shows the source.
TEST(MaskOnly, WithoutAFittingMaskTheSourceIsShown) {
    TestHost host(8, 6, 4);
    host.Init();
    host.FillSourcePattern(7);
    host.instance.mode = MODE_MASK_ONLY;
    FillDestination(host, 0x99);
    RenderFrame(&host.activation, nullptr);
    EXPECT_TRUE(DestinationEqualsSource(host));
    EXPECT_FALSE(MaskMatchesFrame(&host.activation, &host.instance.workMask));
    CopyMaskToOutput(&host.activation, &host.instance.workMask);  // writes nothing
    EXPECT_TRUE(DestinationEqualsSource(host));
}

// ---- The repaint ----

// Guards against carrying the sample's top byte over, and against touching non-region pixels.
TEST(Repaint, OneSampleGivesItsColourWithTopByteZeroAndLeavesEverythingElse) {
    TestHost host(12, 9, 20);
    host.Init();
    host.FillSourcePattern(8);  // random top bytes everywhere
    host.instance.mode = MODE_FINAL;
    MakeSubtitleCurrent(host);
    ASSERT_TRUE(AllocateRegionList(&host.instance.regions, 1));
    FillRegion(host, 0, {{5, 4}, {6, 4}, {5, 5}}, {{7, 4}});
    GiveWeights(host, 2, 1, 1, 40);
    host.Src(7, 4) = 0xA1123456;
    FillDestination(host, 0x00);
    RenderFrame(&host.activation, nullptr);
    for (int32_t row = 0; row < 9; ++row)
        for (int32_t x = 0; x < 12; ++x) {
            const bool inRegion = row == 4 ? (x == 5 || x == 6) : (row == 5 && x == 5);
            if (inRegion)
                EXPECT_EQ(host.Dst(x, row), 0x00123456u) << x << "," << row;
            else  // the sample itself too, and with its top byte
                EXPECT_EQ(host.Dst(x, row), host.Src(x, row)) << x << "," << row;
        }
}

// Guards against rounding instead of truncating the channel quotients.
TEST(Repaint, PowerZeroGivesTheTruncatedMean) {
    TestHost host(16, 4, 4);
    host.Init();
    ASSERT_TRUE(AllocateRegionList(&host.instance.regions, 2));
    // Region 0: two samples 10 and 11 in every channel: the mean 10.5 is written as 10.
    FillRegion(host, 0, {{1, 1}}, {{0, 1}, {2, 1}});
    host.Src(0, 1) = 0x000A0A0A;
    host.Src(2, 1) = 0x000B0B0B;
    // Region 1: nine samples of 255 and one of 254 in red: 254.9 is written as 254, not 255.
    std::vector<SampleSpec> samples;
    for (int32_t x = 5; x < 15; ++x) samples.push_back({x, 2});
    FillRegion(host, 1, {{10, 1}}, samples);
    for (int32_t x = 5; x < 15; ++x) host.Src(x, 2) = 0x00FF0000;
    host.Src(9, 2) = 0x00FE0000;
    GiveWeights(host, 5, 1, 10, 0);
    CopySourceToOutput(&host.activation);
    RepaintRegions(&host.activation, &host.instance);
    EXPECT_EQ(host.Dst(1, 1), 0x000A0A0Au);
    EXPECT_EQ(Channel(host.Dst(10, 1), 16), 254u);
}

// Specified behaviour, not a fault: with power 40 the distance-2 weight is one float step below
// a sixteenth of the distance-1 weight, so red 0 at distance 1 and 255 at distance 2 average to
// 14.9999992, which truncates to 14.
TEST(Repaint, RedFourteenNotFifteen) {
    TestHost host(8, 3);
    host.Init();
    ASSERT_TRUE(AllocateRegionList(&host.instance.regions, 1));
    FillRegion(host, 0, {{2, 1}}, {{3, 1}, {4, 1}});
    host.Src(3, 1) = 0x00000000;
    host.Src(4, 1) = 0x00FF0000;
    GiveWeights(host, 2, 0, 2, 40);
    ASSERT_LT(host.instance.weights[2], host.instance.weights[1] / 16.0f);  // precondition of the case
    CopySourceToOutput(&host.activation);
    RepaintRegions(&host.activation, &host.instance);
    EXPECT_EQ(Channel(host.Dst(2, 1), 16), 14u);
}

// Guards against multiplying in single precision (float weight times channel rounded to float):
// with one sample the exact quotient is the channel itself, while a product rounded down in
// float gives one less after truncation.
TEST(Repaint, ProductsAreFormedInDoublePrecision) {
    // Find a weight whose float product with 255 rounds down (so the fault is visible).
    float w = 3.0e30f;
    for (int n = 0; n < 1000 && !((float)(w * 255.0f) < (double)w * 255.0); ++n) w = std::nextafter(w, FLT_MAX);
    ASSERT_LT((float)(w * 255.0f), (double)w * 255.0);
    TestHost host(4, 3);
    host.Init();
    ASSERT_TRUE(AllocateRegionList(&host.instance.regions, 1));
    FillRegion(host, 0, {{1, 1}}, {{2, 1}});
    host.Src(2, 1) = 0x00FFFFFF;
    GiveWeights(host, 1, 0, 1, 40);
    host.instance.weights[1] = w;
    CopySourceToOutput(&host.activation);
    RepaintRegions(&host.activation, &host.instance);
    EXPECT_EQ(host.Dst(1, 1), 0x00FFFFFFu);
}

// Guards against painting with another region's samples, reading samples from the destination,
// and addressing the output without the pitch (frames here have padded rows).
TEST(Repaint, EachRegionUsesOnlyItsOwnSamplesReadFromTheSource) {
    TestHost host(10, 6, 28);
    host.Init();
    host.FillSourcePattern(9);
    ASSERT_TRUE(AllocateRegionList(&host.instance.regions, 2));
    // The pixel of region 0 is a sample of region 1: region 1 must see its source value.
    FillRegion(host, 0, {{2, 1}}, {{2, 2}});
    FillRegion(host, 1, {{2, 3}}, {{2, 1}});
    host.Src(2, 2) = 0x00102030;
    host.Src(2, 1) = 0x00405060;
    GiveWeights(host, 0, 2, 1, 40);
    CopySourceToOutput(&host.activation);
    RepaintRegions(&host.activation, &host.instance);
    EXPECT_EQ(host.Dst(2, 1), 0x00102030u);
    EXPECT_EQ(host.Dst(2, 3), 0x00405060u);
}

// Guards against swapping dx and dy, or indexing the table without its stride.
TEST(Repaint, WeightsFollowTheDistanceInBothAxes) {
    // Red 0 at distance 1 to the right, red 200 at distance 2 above. With power 40 the weights
    // are K and about K/16, so the red is 200/17 truncated.
    TestHost host(6, 6, 8);
    host.Init();
    ASSERT_TRUE(AllocateRegionList(&host.instance.regions, 1));
    FillRegion(host, 0, {{2, 1}}, {{3, 1}, {2, 3}});
    host.Src(3, 1) = 0x00000000;
    host.Src(2, 3) = 0x00C80000;
    GiveWeights(host, 1, 2, 2, 40);
    const double w1 = host.instance.weights[1], w2 = host.instance.weights[2 * 2 + 0];
    CopySourceToOutput(&host.activation);
    RepaintRegions(&host.activation, &host.instance);
    EXPECT_EQ(Channel(host.Dst(2, 1), 16), (uint32_t)(200.0 * w2 / (w1 + w2)));
    EXPECT_EQ(Channel(host.Dst(2, 1), 16), 11u);
}

// Guards against dividing by a zero weight sum for a region without samples.
TEST(Repaint, RegionsWithoutPixelsOrSamplesAreSkipped) {
    TestHost host(8, 4);
    host.Init();
    host.FillSourcePattern(10);
    ASSERT_TRUE(AllocateRegionList(&host.instance.regions, 2));
    FillRegion(host, 0, {{1, 1}, {2, 1}}, {});
    FillRegion(host, 1, {}, {{5, 2}});
    GiveWeights(host, 1, 1, 1, 40);
    CopySourceToOutput(&host.activation);
    RepaintRegions(&host.activation, &host.instance);
    EXPECT_TRUE(DestinationEqualsSource(host));
}

// ---- The vectorised repaint against the reference loop ----

// The destination after the source is copied over 0xA5 bytes and `repaint` paints the regions.
std::vector<uint8_t> Painted(TestHost &host, void (*repaint)(const FilterActivation *, const RemovalInstance *)) {
    FillDestination(host, 0xA5);
    CopySourceToOutput(&host.activation);
    repaint(&host.activation, &host.instance);
    return host.dstBuffer;
}

// Random regions over a random frame: runs of neighbouring pixels of various lengths, isolated
// pixels, samples anywhere off the region (in the region's field when interlaced), regions
// without pixels or samples, random power, pixel aspect, frame size and row padding.
struct RandomScene {
    std::mt19937 random;
    explicit RandomScene(uint32_t seed) : random(seed) {}
    int32_t Pick(int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(random); }

    void Build(TestHost &host) {
        const int32_t w = host.src.w, h = host.src.h;
        const bool interlaced = Pick(0, 3) == 0;
        const int32_t regionCount = Pick(1, 4);
        ASSERT_TRUE(AllocateRegionList(&host.instance.regions, regionCount));
        int32_t maxDx = 0, maxDy = 0, maxSamples = 1;
        for (int32_t r = 0; r < regionCount; ++r) {
            const int32_t field = Pick(0, 1);
            auto rowOk = [&](int32_t row) { return !interlaced || row % 2 == field; };
            std::set<std::pair<int32_t, int32_t>> cells;  // (row, x): plane order
            const int32_t runs = Pick(0, 3) == 0 ? 0 : Pick(1, 12);
            for (int32_t k = 0; k < runs; ++k) {
                // Lengths up to the widest chunk (6 vectors of 8) and beyond it.
                const int32_t row = Pick(0, h - 1), x = Pick(0, w - 1), length = Pick(1, std::min(w - x, 60));
                if (rowOk(row))
                    for (int32_t n = 0; n < length; ++n) cells.insert({row, x + n});
            }
            std::vector<RegionPixel> pixels;
            for (auto &c : cells) pixels.push_back({c.second, c.first});
            std::vector<SampleSpec> samples;
            const int32_t sampleCount = Pick(0, 5) == 0 ? 0 : Pick(1, 60);
            for (int32_t k = 0; k < sampleCount * 4 && (int32_t)samples.size() < sampleCount; ++k) {
                const int32_t row = Pick(0, h - 1), x = Pick(0, w - 1);
                if (rowOk(row) && !cells.count({row, x})) samples.push_back({x, row});
            }
            FillRegion(host, r, pixels, samples);
            for (const RegionPixel &p : pixels)
                for (const SampleSpec &q : samples) {
                    maxDx = std::max(maxDx, std::abs(p.x - q.x));
                    maxDy = std::max(maxDy, std::abs(p.y - q.y));
                }
            maxSamples = std::max(maxSamples, (int32_t)samples.size());
        }
        GiveWeights(host, maxDx, maxDy, maxSamples, Pick(0, 160), Pick(-120, 120), interlaced);
    }
};

// Guards the vectorised repaint against any difference from the reference loop: lane order,
// run splitting and chunk tails, mirrored rows, interlaced tables, sums and truncation.
TEST(RepaintEquivalence, EveryKernelMatchesTheReferenceByteForByte) {
    const RepaintLevel saved = UseRepaintLevel(BestRepaintLevel());
    for (uint32_t seed = 1; seed <= 150; ++seed) {
        RandomScene scene(seed);
        TestHost host(scene.Pick(1, 110), scene.Pick(1, 40), 4 * scene.Pick(0, 5));
        host.Init();
        host.FillSourcePattern(seed);
        scene.Build(host);
        if (HasFailure()) break;
        const std::vector<uint8_t> reference = Painted(host, RepaintRegionsReference);
        for (int level = REPAINT_SSE2; level <= BestRepaintLevel(); ++level) {
            UseRepaintLevel((RepaintLevel)level);
            PrepareRepaintPlan(&host.instance);
            bool anyRepainted = false;
            for (int32_t r = 0; r < host.instance.regions.count; ++r)
                anyRepainted |= host.instance.regions.items[r].pixelCount > 0 &&
                                host.instance.regions.items[r].sampleCount > 0;
            ASSERT_EQ(RepaintPlanMatches(&host.instance), anyRepainted) << "seed " << seed;
            ASSERT_TRUE(Painted(host, RepaintRegions) == reference) << "seed " << seed << " level " << level;
        }
    }
    UseRepaintLevel(saved);
}

// Every level against the reference on a subtitle-sized region (long blocks of samples, so the
// single-precision screen's float sums err the most) over pictures whose channels are flat (every
// quotient at an integer, so every lane is undecided and the region falls back to the exact
// kernel), clipped at 0 and 255, or noisy.
void ExpectSubtitleSizedRegionsToMatch() {
    const RepaintLevel saved = UseRepaintLevel(BestRepaintLevel());
    std::mt19937 random(5);
    for (int picture = 0; picture < 4; ++picture) {
        for (int32_t power : {40, 5, 160}) {
            TestHost host(180, 44, 8);
            host.Init();
            for (int32_t row = 0; row < 44; ++row)
                for (int32_t x = 0; x < 180; ++x) {
                    const uint32_t noise = random();
                    const uint32_t flat = 0x646464, clipped = 0xFF0000 | (noise & 0xFF00), mixed = picture == 3 && x < 90 ? flat : noise;
                    host.Src(x, row) = (picture == 0 ? flat : picture == 1 ? clipped : picture == 2 ? noise : mixed) & 0xFFFFFF;
                }
            // A 150 x 20 box, its ring of samples in border order: 344 samples, five blocks.
            std::vector<RegionPixel> pixels;
            for (int32_t row = 12; row < 32; ++row)
                for (int32_t x = 15; x < 165; ++x) pixels.push_back({x, row});
            std::vector<SampleSpec> samples;
            for (int32_t x = 14; x <= 165; ++x) samples.push_back({x, 11});
            for (int32_t row = 12; row <= 31; ++row) samples.push_back({165, row});
            for (int32_t x = 165; x >= 14; --x) samples.push_back({x, 32});
            for (int32_t row = 31; row >= 12; --row) samples.push_back({14, row});
            ASSERT_TRUE(AllocateRegionList(&host.instance.regions, 1));
            FillRegion(host, 0, pixels, samples);
            GiveWeights(host, 151, 21, (int32_t)samples.size(), power);
            const std::vector<uint8_t> reference = Painted(host, RepaintRegionsReference);
            for (int level = REPAINT_SSE2; level <= BestRepaintLevel(); ++level) {
                UseRepaintLevel((RepaintLevel)level);
                ASSERT_TRUE(PrepareRepaintPlan(&host.instance));
                EXPECT_TRUE(Painted(host, RepaintRegions) == reference) << "picture " << picture << " power " << power << " level " << level;
            }
        }
    }
    UseRepaintLevel(saved);
}

// Guards the screen of the wide kernels against painting a lane it cannot decide.
TEST(RepaintEquivalence, SubtitleSizedRegionsMatchOnFlatClippedAndNoisyPictures) { ExpectSubtitleSizedRegionsToMatch(); }

// Guards the screen's error bound, which holds for rounding to nearest: a host that sets another
// rounding mode (all sums then err in one direction) must still get the reference's pixels.
TEST(RepaintEquivalence, SubtitleSizedRegionsMatchUnderEveryRoundingMode) {
    for (int mode : {FE_TOWARDZERO, FE_UPWARD, FE_DOWNWARD}) {
        ASSERT_EQ(std::fesetround(mode), 0);
        ExpectSubtitleSizedRegionsToMatch();
        std::fesetround(FE_TONEAREST);
        if (HasFailure()) break;
    }
}

// Guards against a plan outliving the regions it was made for: it is released with them, so a
// new list and table (a rebuild may get the very same blocks back) take the reference loop
// instead of stale weight sums.
TEST(RepaintEquivalence, APlanGoesWithItsRegions) {
    TestHost host(12, 6);
    host.Init();
    host.FillSourcePattern(11);
    ASSERT_TRUE(AllocateRegionList(&host.instance.regions, 1));
    FillRegion(host, 0, {{3, 2}, {4, 2}}, {{2, 2}, {5, 2}});
    GiveWeights(host, 3, 0, 2, 40);
    ASSERT_TRUE(PrepareRepaintPlan(&host.instance));
    EXPECT_TRUE(RepaintPlanMatches(&host.instance));
    ReleaseRemovalRegions(&host.instance);
    EXPECT_EQ(host.instance.repaintPlan, nullptr);
    EXPECT_EQ(host.instance.regions.items, nullptr);
    // A new region list (as a rebuild leaves it) and a new table.
    ASSERT_TRUE(AllocateRegionList(&host.instance.regions, 1));
    FillRegion(host, 0, {{8, 3}}, {{8, 4}});
    GiveWeights(host, 0, 1, 1, 40);
    EXPECT_FALSE(RepaintPlanMatches(&host.instance));
    CopySourceToOutput(&host.activation);
    RepaintRegions(&host.activation, &host.instance);
    EXPECT_EQ(host.Dst(8, 3), host.Src(8, 4) & 0x00FFFFFFu);
}

// Guards the plan's memory: built through the seam, a failed allocation leaves no half-made
// plan and the reference output, no frame allocates (a failed plan is not retried per frame),
// and the instance frees it.
TEST(RepaintEquivalence, PlanMemoryIsPerBuildAndFreedWithTheInstance) {
    const long live = LiveAllocationCount();
    {
        TestHost host(30, 10, 8);
        host.Init();
        host.FillSourcePattern(12);
        ASSERT_TRUE(AllocateRegionList(&host.instance.regions, 1));
        FillRegion(host, 0, {{10, 4}, {11, 4}, {12, 4}, {13, 5}}, {{9, 4}, {14, 4}, {13, 6}, {12, 5}});
        GiveWeights(host, 5, 2, 4, 40);
        CopySourceToOutput(&host.activation);
        RepaintRegionsReference(&host.activation, &host.instance);
        const std::vector<uint8_t> reference = host.dstBuffer;

        for (long failAt = 1; failAt <= 4; ++failAt) {
            FailAllocationAfter(failAt);
            EXPECT_FALSE(PrepareRepaintPlan(&host.instance)) << failAt;
            FailAllocationAfter(0);
            EXPECT_EQ(host.instance.repaintPlan, nullptr) << failAt;
            EXPECT_FALSE(RepaintPlanMatches(&host.instance)) << failAt;
            const long before = AllocationCount();
            CopySourceToOutput(&host.activation);
            RepaintRegions(&host.activation, &host.instance);
            EXPECT_EQ(AllocationCount(), before) << failAt;
            EXPECT_TRUE(host.dstBuffer == reference) << failAt;
        }
        ASSERT_TRUE(PrepareRepaintPlan(&host.instance));
        const long allocations = AllocationCount();
        for (int frame = 0; frame < 3; ++frame) {
            CopySourceToOutput(&host.activation);
            RepaintRegions(&host.activation, &host.instance);
        }
        EXPECT_EQ(AllocationCount(), allocations);
        EXPECT_TRUE(host.dstBuffer == reference);
    }
    EXPECT_EQ(LiveAllocationCount(), live);
}

// Guards the whole Final path on regions from the real build (random masks, radius, depth,
// power, pixel aspect, interlaced): the plan the build made, used without allocating on every
// frame of the subtitle and replaced after a rebuild with other settings, always gives the
// reference loop's frame.
TEST(RepaintEquivalence, RenderFrameMatchesTheReferenceOnBuiltRegions) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        RandomScene scene(seed);
        TestHost host(scene.Pick(12, 72), scene.Pick(10, 56), 4 * scene.Pick(0, 3));
        host.Init();
        RemovalInstance &i = host.instance;
        i.mode = MODE_FINAL;
        i.radius = scene.Pick(0, 3);
        i.depth = scene.Pick(10, 40);
        i.power = scene.Pick(0, 160);
        i.pixelAspect = scene.Pick(-60, 60);
        i.interlaced = scene.Pick(0, 2) == 0;
        MakeSubtitleCurrent(host);
        const int32_t w = host.src.w, h = host.src.h;
        const int32_t left = scene.Pick(0, w / 2), top = scene.Pick(0, h / 2);
        const int32_t right = scene.Pick(left + 1, w), bottom = scene.Pick(top + 1, h);
        CellList cells;
        for (int32_t n = scene.Pick(1, 8); n > 0; --n) {
            const int32_t x = scene.Pick(left, right - 1), y = scene.Pick(top, bottom - 1);
            const bool across = scene.Pick(0, 1) == 0;
            for (int32_t k = 0, length = scene.Pick(1, 12); k < length; ++k) {
                const int32_t cx = across ? x + k : x, cy = across ? y : y + k;
                if (cx < right && cy < bottom) cells.emplace_back(cx, h - 1 - cy);
            }
        }
        PlaceGraymap(host, cells, left, top, right, bottom);
        Build(host);
        for (int round = 0; round < 2; ++round) {
            for (uint32_t frame = 0; frame < 3; ++frame) {
                host.FillSourcePattern(seed * 100 + frame + 10 * round);
                FillDestination(host, 0x3C);
                CopySourceToOutput(&host.activation);
                RepaintRegionsReference(&host.activation, &i);
                const std::vector<uint8_t> reference = host.dstBuffer;
                FillDestination(host, 0x3C);
                const long allocations = AllocationCount();
                RenderFrame(&host.activation, nullptr);
                ASSERT_TRUE(host.dstBuffer == reference) << "seed " << seed << " round " << round << " frame " << frame;
                EXPECT_EQ(AllocationCount(), allocations) << "seed " << seed;
                if (i.regions.count > 0) {
                    EXPECT_TRUE(RepaintPlanMatches(&i)) << "seed " << seed;
                }
            }
            // Other settings for the same subtitle, as the dialog sets them before it selects
            // again: the regions are rebuilt and the plan of the old ones must not be used.
            i.power = scene.Pick(0, 160);
            i.pixelAspect = scene.Pick(-60, 60);
            i.depth = scene.Pick(10, 40);
            i.rebuildPending = true;
            SelectSubtitleForFrame(&i);
        }
    }
}

}  // namespace
