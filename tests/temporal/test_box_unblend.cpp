// Translucent boxes: finding a box, its opacity and colour in a frame, and un-blending it, on
// synthetic 4:2:0 pictures blended exactly as libass blends (per pixel, soft edge included).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "temporal/box_unblend.h"

using temporal::BoxBlend;
using temporal::BoxEstimator;
using temporal::BoxUnblend;
using temporal::GridRect;
using temporal::PictureRef;

namespace {

constexpr int kW = 192, kH = 108;

// A picture of three planes (luma, then two chroma planes at half size), 8 or 10 bits.
struct Picture {
    int bytes = 1, maxValue = 255;
    std::vector<uint8_t> data[3];
    PictureRef ref;

    explicit Picture(int depth) : bytes(depth > 8 ? 2 : 1), maxValue((1 << depth) - 1) {
        ref.planeCount = 3;
        ref.maxValue = maxValue;
        for (int p = 0; p < 3; ++p) {
            const int w = p ? kW / 2 : kW, h = p ? kH / 2 : kH;
            data[p].assign((size_t)w * h * bytes, 0);
            ref.planes[p] = {data[p].data(), (ptrdiff_t)w * bytes, w, h, bytes};
            ref.geometry[p].log2X = ref.geometry[p].log2Y = p ? 1 : 0;
        }
    }
    Picture(const Picture &o) : Picture(o.bytes == 2 ? 10 : 8) {
        for (int p = 0; p < 3; ++p) data[p] = o.data[p];
    }
    float Get(int p, int x, int y) const { return temporal::SampleAt(ref.planes[p], x, y); }
    void Set(int p, int x, int y, float v) { temporal::StoreSample(ref.planes[p], x, y, v, maxValue); }
};

float Scale(const Picture &p) { return (float)p.maxValue / 255.0f; }

// A clean picture with texture in both directions, within [40, 200] (8-bit levels).
Picture Clean(int depth) {
    Picture pic(depth);
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < pic.ref.planes[p].height; ++y)
            for (int x = 0; x < pic.ref.planes[p].width; ++x) {
                const float v = p == 0 ? 120.0f + 55.0f * std::sin(x / 11.0f + y / 29.0f) + 25.0f * std::cos(y / 13.0f - x / 37.0f)
                                       : 128.0f + (p == 1 ? 30.0f : -25.0f) * std::sin(x / 9.0f + p + y / 15.0f);
                pic.Set(p, x, y, v * Scale(pic));
            }
    return pic;
}

// The box the tests burn: interior [40, 152) x [60, 90), soft edges of known opacity.
BoxBlend TrueBox(float alpha, const Picture &pic) {
    BoxBlend b;
    b.found = true;
    b.interior = GridRect{40, 60, 152, 90};
    b.rampLength[0] = 1, b.ramp[0][0] = 0.5f;                          // left
    b.rampLength[1] = 2, b.ramp[1][0] = 0.7f, b.ramp[1][1] = 0.3f;     // top
    b.rampLength[2] = 1, b.ramp[2][0] = 0.5f;                          // right
    b.rampLength[3] = 0;                                               // bottom: crisp
    b.alpha = alpha;
    const float colour[3] = {16.0f, 128.0f, 128.0f};  // black, limited range
    for (int p = 0; p < 3; ++p) b.tint[p] = colour[p] * Scale(pic) * alpha;
    return b;
}

float ChromaCoverage(const BoxBlend &b, int x, int y) {
    return (b.Coverage(2 * x, 2 * y) + b.Coverage(2 * x + 1, 2 * y) + b.Coverage(2 * x, 2 * y + 1) +
            b.Coverage(2 * x + 1, 2 * y + 1)) / 4.0f;
}

// Burns `box` into `clean`, then white glyph bars (with one pixel of anti-aliasing) inside it.
Picture Burn(const Picture &clean, const BoxBlend &box, bool glyphs) {
    Picture burnt(clean);
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < burnt.ref.planes[p].height; ++y)
            for (int x = 0; x < burnt.ref.planes[p].width; ++x) {
                const float c = p ? ChromaCoverage(box, x, y) : box.Coverage(x, y);
                burnt.Set(p, x, y, clean.Get(p, x, y) * (1.0f - box.alpha * c) + box.tint[p] * c);
            }
    if (!glyphs) return burnt;
    for (int bar = 0; bar < 6; ++bar)
        for (int y = 66; y < 84; ++y)
            for (int x = 52 + bar * 16; x < 58 + bar * 16; ++x) {
                const bool edge = x == 52 + bar * 16 || x == 57 + bar * 16;
                burnt.Set(0, x, y, edge ? 0.5f * (235.0f * Scale(burnt) + burnt.Get(0, x, y)) : 235.0f * Scale(burnt));
            }
    return burnt;
}

}  // namespace

class BoxDepth : public ::testing::TestWithParam<int> {};

// Guards: a wrong inverse, the soft edge un-blended at full opacity (or not at all), chroma
// un-blended with luma's coverage, and pixels outside the box touched.
TEST_P(BoxDepth, UnblendRestoresThePictureWithinQuantisation) {
    const Picture clean = Clean(GetParam());
    const BoxBlend box = TrueBox(0.56f, clean);
    const Picture burnt = Burn(clean, box, false);
    Picture out(burnt);
    BoxUnblend unblend;
    EXPECT_GT(unblend.Apply(burnt.ref, out.ref, box, nullptr, 2), 0);
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < out.ref.planes[p].height; ++y)
            for (int x = 0; x < out.ref.planes[p].width; ++x) {
                const float c = p ? ChromaCoverage(box, x, y) : box.Coverage(x, y);
                if (c == 0.0f) {
                    ASSERT_EQ(out.Get(p, x, y), burnt.Get(p, x, y)) << "outside the box, plane " << p << " at " << x << "," << y;
                    continue;
                }
                // Burnt is rounded to a code (0.5), which un-blending scales; the result rounds again.
                const float bound = 0.5f / (1.0f - box.alpha * c) + 0.5f;
                ASSERT_LE(std::fabs(out.Get(p, x, y) - clean.Get(p, x, y)), bound) << "plane " << p << " at " << x << "," << y;
            }
}

// Guards: glyphs un-blended like box pixels (they would come out white), the mask not grown over
// their anti-aliasing, and the glyph repaint ignoring the un-blended box around it.
TEST_P(BoxDepth, GlyphsAreRepaintedFromTheUnblendedBox) {
    const Picture clean = Clean(GetParam());
    const BoxBlend box = TrueBox(0.56f, clean);
    const Picture burnt = Burn(clean, box, true);
    Picture out(burnt);
    BoxUnblend unblend;
    unblend.Apply(burnt.ref, out.ref, box, nullptr, 2);
    float worst = 0.0f, sum = 0.0f;
    int n = 0;
    for (int y = 66; y < 84; ++y)
        for (int x = 50; x < 140; ++x, ++n) {
            const float e = std::fabs(out.Get(0, x, y) - clean.Get(0, x, y));
            worst = std::max(worst, e), sum += e;
        }
    // The picture changes by up to 7 levels a pixel, over strokes 10 pixels wide once grown; a
    // glyph left as it is, or un-blended, is 100 levels off or more.
    EXPECT_LE(worst, 20.0f * Scale(clean));
    EXPECT_LE(sum / (float)n, 4.0f * Scale(clean));
}

// Guards: the fill's repaint thrown away where its hole holds the whole box (the temporal fill,
// after detection), and un-blending writing over it.
TEST_P(BoxDepth, GlyphsKeepTheFillWhereItsHoleHoldsTheBox) {
    const Picture clean = Clean(GetParam());
    const BoxBlend box = TrueBox(0.56f, clean);
    const Picture burnt = Burn(clean, box, true);
    Picture out(burnt);
    for (int y = 60; y < 90; ++y)
        for (int x = 40; x < 152; ++x) out.Set(0, x, y, 77.0f);  // the fill's output, recognisable
    std::vector<uint8_t> hole((size_t)kW * kH, 0);
    for (int y = 55; y < 95; ++y)
        for (int x = 35; x < 157; ++x) hole[(size_t)y * kW + x] = 1;
    BoxUnblend unblend;
    unblend.Apply(burnt.ref, out.ref, box, hole.data(), 2);
    EXPECT_EQ(out.Get(0, 54, 75), 77.0f);  // a glyph bar
    EXPECT_EQ(out.Get(0, 55, 70), 77.0f);
    EXPECT_NEAR(out.Get(0, 45, 75), clean.Get(0, 45, 75), 2.0f);  // box, no glyph: un-blended
}

// Guards: a side taken at a picture or glyph edge, the soft edge's opacities misread, the slope
// pulled flat (opacity under-estimated) by the picture's differences across the side, and the
// chroma planes given luma's tint.
TEST_P(BoxDepth, EstimatesTheBoxFromOneFrame) {
    const Picture clean = Clean(GetParam());
    const BoxBlend truth = TrueBox(0.56f, clean);
    const Picture burnt = Burn(clean, truth, true);
    const PictureRef *frames[] = {&burnt.ref};
    // The hole as the recognition tool's glyphs widen it (inside the box), and as detection
    // finds it (the box and a border).
    for (const GridRect &hole : {GridRect{50, 64, 140, 86}, GridRect{34, 54, 158, 96}}) {
        BoxBlend b;
        BoxEstimator().Estimate(frames, 1, hole, b);
        ASSERT_TRUE(b.found) << "hole " << hole.x0 << "," << hole.y0;
        EXPECT_EQ(b.interior.x0, truth.interior.x0);
        EXPECT_EQ(b.interior.y0, truth.interior.y0);
        EXPECT_EQ(b.interior.x1, truth.interior.x1);
        EXPECT_EQ(b.interior.y1, truth.interior.y1);
        for (int side = 0; side < 4; ++side) {
            ASSERT_EQ(b.rampLength[side], truth.rampLength[side]) << "side " << side;
            for (int j = 0; j < b.rampLength[side]; ++j) EXPECT_NEAR(b.ramp[side][j], truth.ramp[side][j], 0.1f);
        }
        EXPECT_NEAR(b.alpha, truth.alpha, 0.02f);
        for (int p = 0; p < 3; ++p) EXPECT_NEAR(b.tint[p], truth.tint[p], 2.5f * Scale(clean)) << "plane " << p;
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, BoxDepth, ::testing::Values(8, 10));

// Guards: a solid box (its picture lost: un-blending would multiply noise twentyfold) or a
// subtitle without a box (outlined text over the picture) taken for a translucent box.
TEST(BoxEstimate, NoTranslucentBoxNoEstimate) {
    const Picture clean = Clean(8);
    const PictureRef *frames[1];
    BoxBlend b;
    const Picture solid = Burn(clean, TrueBox(0.96f, clean), true);
    frames[0] = &solid.ref;
    BoxEstimator().Estimate(frames, 1, GridRect{50, 64, 140, 86}, b);
    EXPECT_FALSE(b.found) << "alpha " << b.alpha;
    Picture text(clean);
    for (int bar = 0; bar < 6; ++bar)
        for (int y = 64; y < 86; ++y)
            for (int x = 50 + bar * 16; x < 60 + bar * 16; ++x) {
                const bool outline = y < 66 || y >= 84 || x < 52 + bar * 16 || x >= 58 + bar * 16;
                text.Set(0, x, y, outline ? 16.0f : 235.0f);
            }
    frames[0] = &text.ref;
    BoxEstimator().Estimate(frames, 1, GridRect{50, 64, 140, 86}, b);
    EXPECT_FALSE(b.found);
}
