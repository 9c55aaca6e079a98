// The temporal fill's kernels on synthetic pictures with known motion: propagation, the
// forward-backward check and the edges it allows for, the window, cuts, seams and the completions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "temporal/chunk_fill.h"
#include "temporal/column_fill.h"
#include "temporal/cuts.h"
#include "temporal/global_motion.h"
#include "temporal/hole.h"
#include "temporal/propagate.h"
#include "temporal/push_pull.h"
#include "temporal/seam.h"
#include "temporal/structure.h"

namespace {

using namespace temporal;

constexpr int kW = 96, kH = 64;

// A textured scene sampled at an offset: the same scene panned by whole pixels.
uint8_t Scene(int x, int y) { return (uint8_t)(40 + (x * 7 + y * 13 + ((x * y) % 17) * 5) % 180); }

struct Picture {
    std::vector<uint8_t> y;
    PictureRef ref;
    explicit Picture(int shiftX = 0, int shiftY = 0, int add = 0) : y((size_t)kW * kH) {
        for (int r = 0; r < kH; ++r)
            for (int c = 0; c < kW; ++c) y[(size_t)r * kW + c] = (uint8_t)std::min(255, Scene(c + shiftX, r + shiftY) + add);
        ref.planeCount = 1;
        ref.planes[0] = PlaneRef{y.data(), kW, kW, kH, 1};
    }
};

// A hole of a few text-like bars in the middle rows.
std::vector<uint8_t> BarMask() {
    std::vector<uint8_t> m((size_t)kW * kH, 0);
    for (int r = 28; r < 36; ++r)
        for (int c = 20; c < 76; ++c)
            if ((c / 4) % 2 == 0) m[(size_t)r * kW + c] = 1;
    return m;
}

FlowField Uniform(float dx, float dy, Band band) {
    FlowField f;
    f.width = kW;
    f.height = band.Rows();
    f.scale = 1;
    f.top = band.top;
    f.xy.resize((size_t)f.width * f.height * 2);
    for (size_t i = 0; i < f.xy.size(); i += 2) f.xy[i] = dx, f.xy[i + 1] = dy;
    return f;
}

struct Step {
    Band band{16, 48};
    Hole hole;
    PlaneMemory memory[1];
    PlaneCandidates candidates[1];
    explicit Step(const PictureRef &layout) {
        const std::vector<uint8_t> mask = BarMask();
        MakeHole(mask.data(), kW, kH, layout, band, 2, hole);
    }
};

// Guards a fill that is off by a pixel or blurred: a whole-pixel pan must copy the true samples.
TEST(TemporalPropagation, KnownTranslationFillsTheTrueBackground) {
    Picture before(0, 0), now(3, 0);  // the scene moved 3 pixels left: now(x) = before(x + 3)
    Step s(now.ref);
    const FlowField toward = Uniform(3.0f, 0.0f, s.band), back = Uniform(-3.0f, 0.0f, s.band);
    const Neighbour from{&before.ref, nullptr, nullptr, &back};
    PropagateStep(from, &toward, s.hole, StepSettings{}, s.memory, s.candidates);
    const PlaneHole &ph = s.hole.planes[0];
    ASSERT_GT(ph.holeCount, 100);
    for (int32_t k = 0; k < ph.holeCount; ++k) {
        const int x = ph.fill[k] % kW, y = ph.fill[k] / kW + ph.rows.top;
        ASSERT_EQ(s.candidates[0].age[k], 1);
        EXPECT_EQ(s.candidates[0].value[k], (float)Scene(x + 3, y)) << x << "," << y;
    }
}

// Guards taking background through a flow that does not come back where it started.
TEST(TemporalPropagation, InconsistentFlowIsRejected) {
    Picture before, now;
    Step s(now.ref);
    const FlowField toward = Uniform(3.0f, 0.0f, s.band), back = Uniform(1.0f, 0.0f, s.band);
    const Neighbour from{&before.ref, nullptr, nullptr, &back};
    PropagateStep(from, &toward, s.hole, StepSettings{}, s.memory, s.candidates);
    for (uint8_t age : s.candidates[0].age) EXPECT_EQ(age, kNoMemory);
}

// A band image of the test pictures' size whose rows [top, top + rows) hold value(x, y).
template <typename F>
BandImage BandOf(Band band, F value) {
    BandImage image{kW, band.Rows(), std::vector<uint8_t>((size_t)kW * band.Rows())};
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < kW; ++x) image.pixels[(size_t)y * kW + x] = (uint8_t)value(x, band.top + y);
    return image;
}

// Guards a check that rejects a source whose two flows miss each other only along a stripe (the
// fetch lands on the same value there; on a zoom over streaks that left the hole to the spatial
// fallback), or that lets such a miss through across the stripe or where no edge dominates.
TEST(TemporalPropagation, MissAlongAStripeIsAcceptedAndAcrossItIsNot) {
    const Band band{16, 48};
    const BandImage stripes = BandOf(band, [](int, int y) { return (y / 3) % 2 ? 180 : 60; });
    const BandImage texture = BandOf(band, [](int x, int y) { return Scene(x, y); });
    const BandImage flat = BandOf(band, [](int, int) { return 100; });
    StructureMeter meter;
    StructureField striped, textured, plain;
    meter.Measure(stripes, band.top, 3, striped);
    meter.Measure(texture, band.top, 3, textured);
    meter.Measure(flat, band.top, 3, plain);
    const FlowField along = Uniform(10.0f, 0.0f, band), across = Uniform(0.0f, 2.0f, band), still = Uniform(0, 0, band);
    const StepSettings s;
    float dx, dy;
    for (int y = 20; y < 44; y += 5) {
        for (int x = 8; x < 80; x += 9) {
            EXPECT_TRUE(ConsistentMotion(along, still, &striped, (float)x, (float)y, s, dx, dy)) << x << "," << y;
            EXPECT_FALSE(ConsistentMotion(along, still, nullptr, (float)x, (float)y, s, dx, dy));
            EXPECT_FALSE(ConsistentMotion(across, still, &striped, (float)x, (float)y, s, dx, dy)) << x << "," << y;
            EXPECT_FALSE(ConsistentMotion(along, still, &textured, (float)x, (float)y, s, dx, dy)) << x << "," << y;
            EXPECT_FALSE(ConsistentMotion(along, still, &plain, (float)x, (float)y, s, dx, dy));
        }
    }
    const FlowField far = Uniform(s.alongLimit + 4.0f, 0.0f, band);  // too far even along a stripe
    EXPECT_FALSE(ConsistentMotion(far, still, &striped, 40.0f, 30.0f, s, dx, dy));
}

// Guards background older than the window: ages grow by one a step and stop at the window.
TEST(TemporalPropagation, MemoryStaysWithinTheWindow) {
    Picture still;
    Step a(still.ref), b(still.ref);
    const FlowField zero = Uniform(0, 0, a.band);
    StepSettings settings;
    settings.window = 3;
    // A still hole: nothing is ever revealed, so memory runs out after the window.
    Neighbour none;
    PropagateStep(none, nullptr, a.hole, settings, a.memory, a.candidates);
    for (uint8_t age : a.candidates[0].age) EXPECT_EQ(age, kNoMemory);
    // The hole appears on a visible picture: its samples are one step old, then older each step.
    Step *cur = &b, *prev = &a;
    Neighbour first{&still.ref, nullptr, nullptr, &zero};
    PropagateStep(first, &zero, prev->hole, settings, prev->memory, prev->candidates);
    for (int step = 2; step <= 4; ++step) {
        Neighbour from{&still.ref, &prev->hole, prev->memory, &zero};
        PropagateStep(from, &zero, cur->hole, settings, cur->memory, cur->candidates);
        const PlaneCandidates &c = cur->candidates[0];
        for (int32_t k = 0; k < cur->hole.planes[0].holeCount; ++k) {
            if (step <= settings.window) EXPECT_EQ(c.age[k], step);
            else EXPECT_EQ(c.age[k], kNoMemory);
        }
        std::swap(cur, prev);
    }
}

// Guards carrying background across a cut: a picture of another shot gives the hole nothing.
TEST(TemporalChunk, NothingCrossesACut) {
    Picture a1(0, 0), a2(2, 0), b1(0, 0, 60), b2(2, 0, 60);
    // b* is another shot: the same texture, much brighter (the histograms part).
    std::vector<uint8_t> other((size_t)kW * kH);
    for (size_t i = 0; i < other.size(); ++i) other[i] = (uint8_t)(230 - (i * 31) % 40);
    b1.ref.planes[0].data = other.data();
    const std::vector<uint8_t> mask = BarMask();
    Hole hole;
    MakeHole(mask.data(), kW, kH, a1.ref, Band{0, kH}, 2, hole);
    std::vector<ChunkFrame> frames = {{a1.ref, nullptr}, {b1.ref, &hole}};
    std::vector<uint8_t> outY = other;
    Picture out;
    out.ref.planes[0].data = outY.data();
    Picture spatial(0, 0, 0);
    std::vector<uint8_t> flat((size_t)kW * kH, 7);
    spatial.ref.planes[0].data = flat.data();
    FillCallbacks cb;
    cb.spatial = [&](int) { return &spatial.ref; };
    cb.output = [&](int) { return out.ref; };
    FillStats stats;
    ChunkFill fill(FillSettings{});
    fill.Run(frames, 1, 2, Band{0, kH}, cb, nullptr, stats);
    EXPECT_EQ(stats.propagated, 0);
    EXPECT_EQ(stats.carried, 0);
    EXPECT_EQ(stats.spatial, hole.planes[0].holeCount);
}

// Guards a fill that stands out when the light changed: the seam must vanish on the ring.
TEST(TemporalSeam, BrightnessStepLeavesNoSeam) {
    Picture now(0, 0, 20);  // the picture got brighter by 20 since the background was seen
    const std::vector<uint8_t> mask = BarMask();
    Hole hole;
    MakeHole(mask.data(), kW, kH, now.ref, Band{16, 48}, 2, hole);
    const PlaneHole &ph = hole.planes[0];
    std::vector<float> values(ph.fill.size());
    std::vector<uint8_t> valid(ph.fill.size(), 1);
    for (size_t k = 0; k < ph.fill.size(); ++k) values[k] = Scene(ph.fill[k] % kW, ph.fill[k] / kW + ph.rows.top);
    SeamCorrector seam;
    seam.Correct(now.ref.planes[0], ph, values.data(), valid.data());
    for (int32_t k = 0; k < ph.holeCount; ++k) {
        const int x = ph.fill[k] % kW, y = ph.fill[k] / kW + ph.rows.top;
        EXPECT_NEAR(values[k], std::min(255, Scene(x, y) + 20), 1.0f) << x << "," << y;
    }
}

// Guards a completion that changes what was known or leaves holes empty.
TEST(TemporalPushPull, KeepsKnownEntriesAndFillsBetweenThem) {
    const int w = 33, h = 9;
    std::vector<float> v((size_t)w * h, -1.0f), wt((size_t)w * h, 0.0f);
    for (int y = 0; y < h; ++y) {
        v[(size_t)y * w] = 10.0f, wt[(size_t)y * w] = 1.0f;
        v[(size_t)y * w + w - 1] = 50.0f, wt[(size_t)y * w + w - 1] = 1.0f;
    }
    PushPullFill fill;
    ASSERT_TRUE(fill.Fill(v.data(), wt.data(), w, h, 1));
    for (int y = 0; y < h; ++y) {
        EXPECT_EQ(v[(size_t)y * w], 10.0f);
        EXPECT_EQ(v[(size_t)y * w + w - 1], 50.0f);
        for (int x = 1; x < w; ++x) EXPECT_GE(v[(size_t)y * w + x] + 1e-3f, v[(size_t)y * w + x - 1]);  // a ramp, no dips
        EXPECT_GT(v[(size_t)y * w + w / 2], 12.0f);
        EXPECT_LT(v[(size_t)y * w + w / 2], 48.0f);
    }
    std::vector<float> none((size_t)w * h, 0.0f);
    EXPECT_FALSE(fill.Fill(v.data(), none.data(), w, h, 1));
}

// A flow field of w x h entries: (ax, 0) above row `edge`, (bx, 0) from it on, with rows
// [holeTop, holeBottom) unknown; the first row of the hole carries a wild value.
struct EdgeField {
    int w, h;
    std::vector<float> xy, known;
    EdgeField(int w_, int h_, int edge, float ax, float bx, int holeTop, int holeBottom)
        : w(w_), h(h_), xy((size_t)w_ * h_ * 2, 0.0f), known((size_t)w_ * h_, 1.0f) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) xy[((size_t)y * w + x) * 2] = y < edge ? ax : bx;
            if (y >= holeTop && y < holeBottom)
                for (int x = 0; x < w; ++x) known[(size_t)y * w + x] = 0.0f, xy[((size_t)y * w + x) * 2] = y == holeTop ? 99.0f : 0.0f;
        }
    }
    float Dx(int x, int y) const { return xy[((size_t)y * w + x) * 2]; }
};

// Guards a completion that blends a moving card's motion with the still background's across the
// hole, which fetches a ghost of both.
TEST(TemporalColumnFill, AnEdgeAcrossTheHoleStaysAnEdge) {
    // The card (moving -12) above, the background (still) below; the hole is rows 4..11.
    EdgeField f(5, 16, 8, -12.0f, 0.0f, 4, 12);
    CompleteColumns(f.xy.data(), f.known.data(), f.w, f.h, ColumnFillSettings{});
    for (int x = 0; x < f.w; ++x) {
        for (int y = 4; y < 8; ++y) EXPECT_EQ(f.Dx(x, y), -12.0f) << x << "," << y;
        for (int y = 8; y < 12; ++y) EXPECT_EQ(f.Dx(x, y), 0.0f) << x << "," << y;
        EXPECT_EQ(f.Dx(x, 3), -12.0f);  // known entries stay
        EXPECT_EQ(f.Dx(x, 12), 0.0f);
    }
    // An edge that runs down through the hole: each column keeps its own motion.
    EdgeField g(6, 12, 0, 0.0f, 0.0f, 3, 9);
    for (int y = 0; y < g.h; ++y)
        for (int x = 3; x < g.w; ++x)
            if (g.known[(size_t)y * g.w + x] == 1.0f) g.xy[((size_t)y * g.w + x) * 2] = 5.0f;
    CompleteColumns(g.xy.data(), g.known.data(), g.w, g.h, ColumnFillSettings{});
    for (int y = 3; y < 9; ++y) {
        EXPECT_EQ(g.Dx(2, y), 0.0f);
        EXPECT_EQ(g.Dx(3, y), 5.0f);
    }
}

// Guards a completion that steps inside a smooth motion, or lets one bad entry beside the hole
// decide the whole column, or touches runs that have no motion on one side or hides them from
// the push-pull that must fill them.
TEST(TemporalColumnFill, SmoothMotionRampsAndOpenRunsAreLeft) {
    // Motion growing by 0.05 a row (a zoom); the hole is rows 5..9, the entry just above it wild.
    const int w = 3, h = 16;
    std::vector<float> xy((size_t)w * h * 2), known((size_t)w * h, 1.0f);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) xy[((size_t)y * w + x) * 2 + 1] = 0.05f * (float)y;
    for (int y = 5; y < 10; ++y)
        for (int x = 0; x < w; ++x) known[(size_t)y * w + x] = 0.0f;
    for (int x = 0; x < w; ++x) xy[((size_t)4 * w + x) * 2 + 1] = 30.0f;
    // The last column's run reaches the bottom: rows 12.. unknown and marked.
    for (int y = 12; y < h; ++y) known[(size_t)y * w + 2] = 0.0f, xy[((size_t)y * w + 2) * 2] = 7.0f;
    EXPECT_EQ(CompleteColumns(xy.data(), known.data(), w, h, ColumnFillSettings{}), h - 12);
    for (int x = 0; x < w; ++x) {
        EXPECT_EQ(known[(size_t)7 * w + x], 1.0f);  // filled, so push-pull keeps it
        float previous = -1.0f;
        for (int y = 5; y < 10; ++y) {
            const float dy = xy[((size_t)y * w + x) * 2 + 1];
            EXPECT_GT(dy, previous);  // a ramp
            EXPECT_GT(dy, 0.05f);
            EXPECT_LT(dy, 0.6f);  // the wild entry is outvoted
            previous = dy;
        }
    }
    for (int y = 12; y < h; ++y) {
        EXPECT_EQ(xy[((size_t)y * w + 2) * 2], 7.0f);
        EXPECT_EQ(known[(size_t)y * w + 2], 0.0f);
    }
}

// A field of w x h entries at scale 2 over a band starting at row `top`, with `motion(x, y)` at
// each entry's luma point.
template <typename F>
FlowField FieldOf(int w, int h, int top, F motion) {
    FlowField f;
    f.width = w, f.height = h, f.scale = 2, f.top = top;
    f.xy.resize((size_t)w * h * 2);
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) motion(2.0f * i + 0.5f, top + 2.0f * j + 0.5f, f.xy[((size_t)j * w + i) * 2], f.xy[((size_t)j * w + i) * 2 + 1]);
    return f;
}

// Guards a camera fit that follows the flow's wild entries, or that is lost when the band does
// not start at the top of the picture.
TEST(TemporalCamera, AffineMotionIsRecoveredThroughWildEntries) {
    // A zoom by 1 % about (300, 400) plus a drift of (0.5, -0.25): a third of the entries wild.
    auto zoom = [](float x, float y, float &dx, float &dy) { dx = 0.01f * (x - 300) + 0.5f, dy = 0.01f * (y - 400) - 0.25f; };
    FlowField f = FieldOf(180, 60, 340, zoom);
    uint32_t seed = 7;
    for (size_t k = 0; k < f.xy.size() / 2; ++k) {
        seed = seed * 1664525u + 1013904223u;
        if (seed % 3 == 0) f.xy[k * 2] = (float)((seed >> 8) % 60) - 30.0f, f.xy[k * 2 + 1] = (float)((seed >> 16) % 20) - 10.0f;
    }
    GlobalMotion global;
    AffineMotion m;
    ASSERT_TRUE(global.Fit(f, nullptr, m));
    for (float x : {0.0f, 200.0f, 359.0f})
        for (float y : {340.0f, 400.0f, 459.0f}) {
            float dx, dy, tx, ty;
            m.At(x, y, dx, dy);
            zoom(x, y, tx, ty);
            EXPECT_NEAR(dx, tx, 0.05f) << x << "," << y;
            EXPECT_NEAR(dy, ty, 0.05f) << x << "," << y;
        }
    std::vector<float> none(f.xy.size() / 2, 0.0f);
    EXPECT_FALSE(global.Fit(f, none.data(), m));  // nothing known, nothing fitted
}

// Guards the camera's motion replacing a thing's own motion (a card crossing a still shot), and
// the flow's noise staying where the camera explains the pictures.
TEST(TemporalCamera, StillBackgroundTakesTheCameraAndAMovingCardKeepsItsFlow) {
    const Band band{16, 48};
    // A card of another texture at columns 46..69 of the first picture and 40..63 of the second:
    // from the second back to the first, its points moved 6 pixels right; the background stood.
    auto cardTexture = [](int x, int y) { return Scene(x * 3 + 50, y * 2 + 7); };
    auto card = [](int x) { return x >= 40 && x < 64; };
    const BandImage first = BandOf(band, [&](int x, int y) { return x >= 46 && x < 70 ? cardTexture(x - 46, y) : Scene(x, y); });
    const BandImage second = BandOf(band, [&](int x, int y) { return card(x) ? cardTexture(x - 40, y) : Scene(x, y); });
    // The flow: the card's true motion, the background's noisy (up to a pixel each way).
    FlowField f = FieldOf(kW / 2, band.Rows() / 2, band.top, [](float, float, float &dx, float &dy) { dx = dy = 0; });
    uint32_t seed = 11;
    for (int j = 0; j < f.height; ++j)
        for (int i = 0; i < f.width; ++i) {
            seed = seed * 1664525u + 1013904223u;
            float *d = &f.xy[((size_t)j * f.width + i) * 2];
            if (card(2 * i)) d[0] = 6.0f, d[1] = 0.0f;
            else d[0] = (float)((int)(seed >> 24) % 3 - 1), d[1] = (float)((int)(seed >> 16) % 3 - 1);
        }
    GlobalMotion global;
    AffineMotion still;  // zero motion, as the fit finds it on this field
    ASSERT_TRUE(global.Fit(f, nullptr, still));
    global.ChooseByPlace(second, first, 1, still, 1.25f, 3, nullptr, f);
    double background = 0;
    int count = 0;
    for (int j = 3; j < f.height - 3; ++j) {
        for (int i = 0; i < f.width; ++i) {
            const float *d = &f.xy[((size_t)j * f.width + i) * 2];
            if (card(2 * i) && i * 2 >= 46 && i * 2 < 58) {
                EXPECT_EQ(d[0], 6.0f) << i << "," << j;  // the card's own motion stays
            } else if (i * 2 < 30 || i * 2 >= 80) {
                // The noise (|d| of 1 on two thirds of the entries) gives way to a smooth fit.
                EXPECT_LT(std::hypot(d[0], d[1]), 0.5f) << i << "," << j;
                background += std::hypot(d[0], d[1]);
                ++count;
            }
        }
    }
    EXPECT_LT(background / count, 0.25);
}

// Guards cut detection that fires on motion or misses a change of shot.
TEST(TemporalCuts, PanIsNoCutAndAnotherShotIs) {
    // A smooth picture with fine grain, as photographs are at the scale of the thumbnail's cells.
    auto smooth = [](int dx, int dy) {
        std::vector<uint8_t> p((size_t)kW * kH);
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) p[(size_t)y * kW + x] = (uint8_t)(60 + (x + dx) + (y + dy) / 2 + ((x * 7 + y * 3) % 5));
        return p;
    };
    std::vector<uint8_t> pa = smooth(0, 0), pp = smooth(4, 2), dark((size_t)kW * kH);
    for (size_t i = 0; i < dark.size(); ++i) dark[i] = (uint8_t)(10 + (i * 3) % 30);
    Picture a, panned, other;
    a.ref.planes[0].data = pa.data();
    panned.ref.planes[0].data = pp.data();
    other.ref.planes[0].data = dark.data();
    PictureSignature sa, sp, so;
    MakeSignature(a.ref.planes[0], 255, nullptr, sa);
    MakeSignature(panned.ref.planes[0], 255, nullptr, sp);
    MakeSignature(other.ref.planes[0], 255, nullptr, so);
    EXPECT_FALSE(IsCut(sa, sp));
    EXPECT_TRUE(IsCut(sa, so));
    // A white subtitle box appearing is no cut once its hole is left out.
    std::vector<uint8_t> titled = pp;
    std::vector<uint8_t> mask((size_t)kW * kH, 0);
    for (int y = 40; y < 60; ++y)
        for (int x = 8; x < 88; ++x) titled[(size_t)y * kW + x] = 255, mask[(size_t)y * kW + x] = 1;
    Picture withText;
    withText.ref.planes[0].data = titled.data();
    Hole hole;
    MakeHole(mask.data(), kW, kH, withText.ref, Band{0, kH}, 2, hole);
    PictureSignature st;
    MakeSignature(withText.ref.planes[0], 255, &hole.planes[0], st);
    EXPECT_FALSE(IsCut(sa, st));
}

}  // namespace

namespace {

// A larger photograph-like scene: smooth shapes with fine detail, panned by whole pixels.
constexpr int kPW = 256, kPH = 128;
uint8_t Photo(int x, int y) {
    const float v = 120 + 60 * std::sin(x * 0.05f) * std::cos(y * 0.07f) + 25 * std::sin(x * 0.31f + y * 0.17f) +
                    10 * std::sin(x * 1.3f) * std::sin(y * 1.1f);
    return (uint8_t)std::max(0.0f, std::min(255.0f, v));
}

// The photograph moved by `offset(f, dx, dy)` pixels in frame f, `frames` frames.
template <typename F>
std::vector<std::vector<uint8_t>> MovingPhoto(int frames, F offset) {
    std::vector<std::vector<uint8_t>> pics((size_t)frames, std::vector<uint8_t>((size_t)kPW * kPH));
    for (int f = 0; f < frames; ++f) {
        int dx = 0, dy = 0;
        offset(f, dx, dy);
        for (int y = 0; y < kPH; ++y)
            for (int x = 0; x < kPW; ++x) pics[(size_t)f][(size_t)y * kPW + x] = Photo(x + dx, y + dy);
    }
    return pics;
}

// A smooth still picture under film grain: uniform in [-12, 12], new every frame.
// The grainy still shot's hole: a solid block across the middle rows.
std::vector<uint8_t> StillShotMask() {
    std::vector<uint8_t> mask((size_t)kPW * kPH, 0);
    for (int y = 80; y < 100; ++y)
        for (int x = 60; x < 200; ++x) mask[(size_t)y * kPW + x] = 1;
    return mask;
}

std::vector<std::vector<uint8_t>> GrainyStill(int frames, uint32_t seed) {
    std::vector<std::vector<uint8_t>> pics((size_t)frames, std::vector<uint8_t>((size_t)kPW * kPH));
    for (int f = 0; f < frames; ++f)
        for (int y = 0; y < kPH; ++y)
            for (int x = 0; x < kPW; ++x) {
                seed = seed * 1664525u + 1013904223u;
                const int grain = (int)(seed >> 24) % 25 - 12;
                pics[f][(size_t)y * kPW + x] = (uint8_t)std::clamp(100 + x / 4 + (int)(20 * std::sin((float)y * 0.05f)) + grain, 0, 255);
            }
    return pics;
}

struct ChunkOptions {
    bool parallel = false;
    int holeFrom = -1;                             // the first frame with the hole; -1: `first`
    const std::vector<uint8_t> *previous = nullptr;  // the output of the frame before `first`
    uint8_t spatial = 128;                         // the flat spatial fallback
    const std::vector<std::vector<uint8_t>> *repaints = nullptr;  // per frame, instead of the flat one
    FillSettings settings;                         // but for the window and `parallel`
    int width = kPW, height = kPH, margin = 24;    // the pictures' size, the band's margin
    bool numbered = false;  // frames carry their numbers and hole ids, so measured flows are kept
    int ahead = 0;          // pairs measured ahead before the run (MeasureAhead), at most
    int aheadGrow = 0;      // rows by which the band measured ahead exceeds the run's
    int *measuredAhead = nullptr;  // gets how many pairs were measured ahead
};

// Runs the fill over `pics` (luma pictures, kPW x kPH unless the options say otherwise) with `mask` as the hole of the frames
// [holeFrom, last), outputs [first, last). `outs` gets the outputs.
FillStats FillChunk(std::vector<std::vector<uint8_t>> &pics, const std::vector<uint8_t> &mask, int first, int last,
                    int window, std::vector<std::vector<uint8_t>> &outs, Hole &hole, Band &band, ChunkOptions o = {}) {
    const int n = (int)pics.size(), holeFrom = o.holeFrom < 0 ? first : o.holeFrom;
    std::vector<PictureRef> refs((size_t)n);
    for (int f = 0; f < n; ++f) {
        refs[f].planeCount = 1;
        refs[f].planes[0] = PlaneRef{pics[f].data(), o.width, o.width, o.height, 1};
    }
    band = MaskBand(mask.data(), o.width, o.height, o.margin, 4);
    MakeHole(mask.data(), o.width, o.height, refs[0], band, 2, hole);
    std::vector<ChunkFrame> frames((size_t)n);
    for (int f = 0; f < n; ++f) {
        const bool holed = f >= holeFrom && f < last;
        frames[f] = ChunkFrame{refs[f], holed ? &hole : nullptr};
        if (o.numbered) frames[f].number = f, frames[f].holeId = holed ? 0 : -1;
    }
    outs = pics;
    std::vector<uint8_t> flat((size_t)o.width * o.height, o.spatial);
    PictureRef spatial = refs[0], previous = refs[0];
    spatial.planes[0].data = flat.data();
    if (o.previous) previous.planes[0].data = const_cast<uint8_t *>(o.previous->data());
    FillCallbacks cb;
    cb.spatial = [&](int i) {
        if (o.repaints) spatial.planes[0].data = const_cast<uint8_t *>((*o.repaints)[(size_t)i].data());
        return &spatial;
    };
    cb.output = [&](int i) {
        PictureRef r = refs[i];
        r.planes[0].data = outs[i].data();
        return r;
    };
    FillStats stats;
    FillSettings settings = o.settings;
    settings.step.window = window;
    settings.parallel = o.parallel;
    ChunkFill fill(settings);
    if (o.ahead > 0) {
        Band other{band.top - o.aheadGrow, band.bottom};
        Hole otherHole;
        MakeHole(mask.data(), o.width, o.height, refs[0], other, 2, otherHole);
        std::vector<ChunkFrame> aheadFrames = frames;
        for (ChunkFrame &f : aheadFrames)
            if (f.hole) f.hole = o.aheadGrow ? &otherHole : &hole;
        int measured = 0;
        while (measured < o.ahead && fill.MeasureAhead(aheadFrames, o.aheadGrow ? other : band)) ++measured;
        if (o.measuredAhead) *o.measuredAhead = measured;
    }
    fill.Run(frames, first, last, band, cb, o.previous ? &previous : nullptr, stats);
    return stats;
}

}  // namespace

// Guards the whole chain (flow, completion, both passes, composition) on a pan: the hole must be
// filled with the scene that passed under it, not with the spatial fallback.
TEST(TemporalChunk, PanIsFilledWithTheSceneThatPassedUnderTheHole) {
    constexpr int kFrames = 16, kShift = 3;
    std::vector<std::vector<uint8_t>> pics = MovingPhoto(kFrames, [](int f, int &dx, int &) { dx = f * kShift; });
    std::vector<uint8_t> mask((size_t)kPW * kPH, 0);
    for (int y = 80; y < 100; ++y)
        for (int x = 60; x < 200; ++x)
            if ((x / 6) % 2 == 0) mask[(size_t)y * kPW + x] = 1;
    std::vector<std::vector<uint8_t>> outs;
    Hole hole;
    Band band;
    const FillStats stats = FillChunk(pics, mask, 4, 12, 8, outs, hole, band);
    const int64_t holeSamples = (int64_t)hole.planes[0].holeCount * 8;
    EXPECT_GT(stats.propagated, holeSamples * 95 / 100) << stats.carried << " carried, " << stats.spatial << " spatial";
    double se = 0;
    for (int f = 4; f < 12; ++f)
        for (int32_t k = 0; k < hole.planes[0].holeCount; ++k) {
            const int32_t i = hole.planes[0].fill[k] + band.top * kPW;
            const double d = (double)outs[f][i] - pics[f][i];
            se += d * d;
        }
    EXPECT_LT(std::sqrt(se / (double)holeSamples), 4.0);
}

// Guards a fixed consistency tolerance on a grainy still shot: on a smooth picture the grain
// makes every flow a little wrong, and a check that ignores how wrong the flows are everywhere
// rejects nearly every source (a tenth of the hole got background), leaving the hole to the
// spatial fallback. On this nearly textureless picture the flow beside the hole is biased, and
// the column completion takes it as it is (a third of the hole gets background, against over half
// with push-pull alone), so the bar is a quarter: well above the fault.
TEST(TemporalChunk, GrainyStillShotKeepsItsBackground) {
    constexpr int kFrames = 40;
    std::vector<std::vector<uint8_t>> pics = GrainyStill(kFrames, 12345);
    const std::vector<uint8_t> mask = StillShotMask();
    std::vector<std::vector<uint8_t>> outs;
    Hole hole;
    Band band;
    const FillStats stats = FillChunk(pics, mask, 4, 36, 48, outs, hole, band);
    const int64_t holeSamples = (int64_t)hole.planes[0].holeCount * 32;
    EXPECT_GT(stats.propagated, holeSamples / 4) << stats.carried << " carried, " << stats.spatial << " spatial";
}

// Guards two shortcuts that must not change a byte: the second thread (flows and the backward
// pass beside the forward one, sharing nothing they write), and a chunk's window cut at a frame
// without a subtitle, whose whole picture the passes take instead of anything from beyond it.
TEST(TemporalChunk, SecondThreadAndWindowCutAtAFrameWithoutSubtitleChangeNothing) {
    constexpr int kFrames = 24, kShift = 2;
    std::vector<std::vector<uint8_t>> pics = MovingPhoto(kFrames, [](int f, int &dx, int &dy) { dx = f * kShift, dy = f / 3; });
    std::vector<uint8_t> mask((size_t)kPW * kPH, 0);
    for (int y = 80; y < 100; ++y)
        for (int x = 40; x < 220; ++x)
            if ((x / 5) % 3 != 0) mask[(size_t)y * kPW + x] = 1;
    Hole hole;
    Band band;
    std::vector<std::vector<uint8_t>> one, two;
    FillChunk(pics, mask, 6, 18, 16, one, hole, band);
    ChunkOptions parallel;
    parallel.parallel = true;
    FillChunk(pics, mask, 6, 18, 16, two, hole, band, parallel);
    for (int f = 0; f < kFrames; ++f) ASSERT_EQ(one[f], two[f]) << "frame " << f;
    // Frames 5 and 18 have no subtitle: the same chunk given only them, the four beyond each that
    // a sighting there is blended over (FillSettings::blend) and the frames between, frames 1 to 22,
    // fills frames 6 to 17 alike.
    std::vector<std::vector<uint8_t>> cut(pics.begin() + 1, pics.begin() + 23), cutOut;
    FillChunk(cut, mask, 5, 17, 16, cutOut, hole, band, parallel);
    for (int f = 6; f < 18; ++f) ASSERT_EQ(cutOut[(size_t)f - 1], one[f]) << "frame " << f;
}

// Guards the flows measured ahead of a chunk while its window is decoded: taken over, they must
// give the same bytes as flows measured in the chunk; every pair a hole touches is measured once
// and then no more; and flows measured in another band (a later subtitle widened the chunk's)
// must not be taken, for there the same pictures give another flow.
TEST(TemporalChunk, FlowsMeasuredAheadChangeNothing) {
    constexpr int kFrames = 24;
    std::vector<std::vector<uint8_t>> pics = MovingPhoto(kFrames, [](int f, int &dx, int &dy) { dx = f * 2 + f % 3, dy = f / 4; });
    std::vector<uint8_t> mask((size_t)kPW * kPH, 0);
    for (int y = 76; y < 98; ++y)
        for (int x = 40; x < 220; ++x)
            if ((x / 4) % 3 != 0) mask[(size_t)y * kPW + x] = 1;
    Hole hole;
    Band band;
    std::vector<std::vector<uint8_t>> plain, some, all, other;
    ChunkOptions o;
    o.numbered = true;
    FillChunk(pics, mask, 6, 18, 16, plain, hole, band, o);
    int measured = 0;
    o.measuredAhead = &measured;
    o.ahead = 5;
    FillChunk(pics, mask, 6, 18, 16, some, hole, band, o);
    EXPECT_EQ(measured, 5);
    o.ahead = 100;
    o.parallel = true;
    FillChunk(pics, mask, 6, 18, 16, all, hole, band, o);
    EXPECT_EQ(measured, 13) << "pairs (5, 6) to (17, 18)";
    o.aheadGrow = 8;
    FillChunk(pics, mask, 6, 18, 16, other, hole, band, o);
    for (int f = 0; f < kFrames; ++f) {
        ASSERT_EQ(some[f], plain[f]) << "frame " << f;
        ASSERT_EQ(all[f], plain[f]) << "frame " << f;
        ASSERT_EQ(other[f], plain[f]) << "frame " << f;
    }
}

// Guards a fill that boils where no frame reveals the background: on a grainy still shot whose
// hole never moves, every frame must carry the fill it was given (the previous output) rather
// than take a fresh repaint wherever the grain makes the flow doubtful.
TEST(TemporalChunk, WhatNoFrameRevealsKeepsThePreviousFill) {
    constexpr int kFrames = 12;
    std::vector<std::vector<uint8_t>> pics = GrainyStill(kFrames, 777);
    const std::vector<uint8_t> mask = StillShotMask();
    // Frame 0 is the window before the outputs; its own picture stands for its fill, given as the
    // previous output. The spatial repaint is black, far from anything carried.
    const std::vector<uint8_t> before = pics[0];
    std::vector<std::vector<uint8_t>> outs;
    Hole hole;
    Band band;
    ChunkOptions options;
    options.holeFrom = 0;
    options.previous = &before;
    options.spatial = 0;
    // The carrying itself, without the judge: a black repaint amid gray, which no repaint of the
    // module would be, is not for it to weigh.
    options.settings.judgeFloor = -1.0f;
    const FillStats stats = FillChunk(pics, mask, 1, kFrames, 8, outs, hole, band, options);
    EXPECT_LT(stats.propagated, hole.planes[0].holeCount);  // at most a few edge samples
    EXPECT_EQ(stats.spatial, 0);
    int far = 0;
    for (int f = 1; f < kFrames; ++f)
        for (int32_t k = 0; k < hole.planes[0].holeCount; ++k) {
            const int32_t i = hole.planes[0].fill[k] + band.top * kPW;
            far += std::abs((int)outs[f][i] - (int)before[i]) > 40;
        }
    EXPECT_EQ(far, 0);
}

namespace {

// Pictures of a still camera: larger than the others, so that the band around the hole is as
// tall as a film's (the flow is poor over a few dozen rows).
constexpr int kSW = 480, kSH = 270;

// A still camera over asphalt: a fixed texture (soft shapes and a fine grain), sensor noise new
// every frame, and bright specks (rain, snow, dust) crossing the picture, a few dozen in every
// frame, none twice in one place. `clean` gets the frames, `background` the texture alone.
void SpeckledStill(int frames, uint32_t seed, std::vector<std::vector<uint8_t>> &clean, std::vector<uint8_t> &background) {
    background.resize((size_t)kSW * kSH);
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < background.size(); ++i) {
        h = (h ^ (uint32_t)i) * 16777619u;
        h ^= h >> 13;
        const int x = (int)(i % kSW), y = (int)(i / kSW);
        background[i] = (uint8_t)(50 + Photo(x, y) / 2 + (h >> 8) % 11);  // shapes, and a grain of 0 to 10
    }
    clean.assign((size_t)frames, background);
    for (int f = 0; f < frames; ++f) {
        std::vector<uint8_t> &p = clean[(size_t)f];
        for (size_t i = 0; i < p.size(); ++i) {
            seed = seed * 1664525u + 1013904223u;
            p[i] = (uint8_t)std::clamp((int)p[i] + (int)(seed >> 24) % 13 - 6, 0, 255);  // noise of -6 to 6
        }
        for (int s = 0; s < 120; ++s) {
            seed = seed * 1664525u + 1013904223u;
            const int x = (int)((seed >> 8) % (kSW - 3)), y = (int)((seed >> 20) % (kSH - 3));
            for (int dy = 0; dy < 3; ++dy)
                for (int dx = 0; dx < 3; ++dx) p[(size_t)(y + dy) * kSW + x + dx] = 220;
        }
    }
}

// A spatial repaint as the module makes one: the hole filled smoothly from the pixels around it.
std::vector<uint8_t> SmoothRepaint(const std::vector<uint8_t> &picture, const std::vector<uint8_t> &mask) {
    std::vector<float> values(picture.begin(), picture.end()), weights(picture.size());
    for (size_t i = 0; i < mask.size(); ++i) weights[i] = mask[i] ? 0.0f : 1.0f;
    PushPullFill fill;
    fill.Fill(values.data(), weights.data(), kSW, kSH, 1);
    std::vector<uint8_t> out(picture.size());
    for (size_t i = 0; i < out.size(); ++i) out[i] = (uint8_t)std::clamp((int)(values[i] + 0.5f), 0, 255);
    return out;
}

// The hole's RMS error over frames [first, last) against `truth`.
double HoleError(const std::vector<std::vector<uint8_t>> &outs, const std::vector<std::vector<uint8_t>> &truth,
                 const std::vector<uint8_t> &mask, int first, int last) {
    double se = 0;
    int64_t n = 0;
    for (int f = first; f < last; ++f)
        for (size_t i = 0; i < mask.size(); ++i) {
            if (!mask[i]) continue;
            const double d = (double)outs[(size_t)f][i] - truth[(size_t)f][i];
            se += d * d;
            ++n;
        }
    return std::sqrt(se / (double)n);
}

}  // namespace

// Guards the fill that copies one picture's noise and specks into the hole and holds them there:
// on a still camera whose background is seen only before and after the subtitle, the frames just
// before and after it gave every hole sample their noise and their specks. Against the texture
// alone (what the fill should show) the fill strayed by 9.3 levels, far more than the 3.7 of one
// picture's noise without its specks; blended over the pictures that agree, the specks are left
// out and the noise averages down: 3.4. Against the clean frames, whose own noise and specks no
// fill can know, the fill's error went from 14.3 to 11.3 levels, the spatial repaint's being 18.8.
TEST(TemporalChunk, StillCameraWithPassingSpecksIsFilledNoNoisierThanTheSpatialFill) {
    constexpr int kFrames = 40, kFirst = 10, kLast = 30;
    std::vector<std::vector<uint8_t>> clean, burnt;
    std::vector<uint8_t> background;
    SpeckledStill(kFrames, 2024, clean, background);
    std::vector<uint8_t> mask((size_t)kSW * kSH, 0);  // a line of text, widened
    for (int y = 206; y < 236; ++y)
        for (int x = 90; x < 390; ++x) mask[(size_t)y * kSW + x] = 1;
    burnt = clean;
    std::vector<std::vector<uint8_t>> repaints(kFrames);
    for (int f = 0; f < kFrames; ++f) {
        if (f >= kFirst && f < kLast)
            for (size_t i = 0; i < mask.size(); ++i)
                if (mask[i]) burnt[(size_t)f][i] = 235;  // the text
        repaints[(size_t)f] = SmoothRepaint(burnt[(size_t)f], mask);
    }
    std::vector<std::vector<uint8_t>> outs;
    Hole hole;
    Band band;
    ChunkOptions options;
    options.repaints = &repaints;
    options.width = kSW, options.height = kSH, options.margin = 64;
    const FillStats stats = FillChunk(burnt, mask, kFirst, kLast, 48, outs, hole, band, options);
    EXPECT_GT(stats.propagated, (int64_t)hole.planes[0].holeCount * (kLast - kFirst) / 2)
        << stats.carried << " carried, " << stats.spatial << " spatial, " << stats.judged << " judged";
    const double temporal = HoleError(outs, clean, mask, kFirst, kLast);
    const double spatial = HoleError(repaints, clean, mask, kFirst, kLast);
    EXPECT_LE(temporal, spatial) << "spatial " << spatial;
    // Against the texture alone, the fill holds less than one picture's noise (uniform in -6 to 6:
    // a deviation of the square root of 14), and so no specks either.
    std::vector<std::vector<uint8_t>> still(kFrames, background);
    EXPECT_LT(HoleError(outs, still, mask, kFirst, kLast), std::sqrt(14.0)) << "temporal " << temporal << ", spatial " << spatial;
}
