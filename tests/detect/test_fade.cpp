// Fades at a subtitle's ends: the opacity read from a probe, and where a followed fade ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "detect/fade.h"

namespace {

constexpr int kW = 40, kH = 12;

// A "text" of light strokes (235) in dark outlines (16) on rows 4..7, over a picture of `ground`.
struct Planes {
    std::vector<uint8_t> text, ground;
    std::vector<int> pixels;
    std::vector<uint8_t> luma;
};

Planes MakePlanes() {
    Planes p;
    p.text.assign(kW * kH, 0);
    p.ground.assign(kW * kH, 0);
    for (int i = 0; i < kW * kH; ++i) p.ground[(size_t)i] = (uint8_t)(60 + (i * 37) % 90);  // a busy picture
    p.text = p.ground;
    for (int r = 4; r < 8; ++r)
        for (int x = 2; x < kW - 2; ++x) {
            const int i = r * kW + x;
            const bool stroke = (x % 4 == 1 || x % 4 == 2) && r > 4 && r < 7;
            p.text[(size_t)i] = stroke ? 235 : 16;
            p.pixels.push_back(i);
            p.luma.push_back(p.text[(size_t)i]);
        }
    return p;
}

std::vector<uint8_t> Blend(const Planes &p, double a) {
    std::vector<uint8_t> out(p.text.size());
    for (size_t i = 0; i < out.size(); ++i) out[i] = (uint8_t)(p.ground[i] * (1 - a) + p.text[i] * a + 0.5);
    return out;
}

// The text at each opacity in turn over a picture that changes a frame: `noise` levels of grain, or
// (shift) the busy picture moving a pixel a frame. The frames the follower takes past the steady.
int FollowFrames(const std::vector<double> &alphas, int noise, bool shift) {
    const Planes p = MakePlanes();
    const FadeProbe probe = MakeFadeProbe(p.pixels, p.luma, kW);
    FadeFollower f(30);
    uint32_t seed = 12345;
    for (size_t k = 0; k < alphas.size(); ++k) {
        Planes moved = p;
        for (size_t i = 0; i < moved.ground.size(); ++i) {
            seed = seed * 1664525u + 1013904223u;
            const int grain = noise ? (int)(seed >> 16) % (2 * noise + 1) - noise : 0;
            const int source = shift ? (int)((i + k) % moved.ground.size()) : (int)i;
            moved.ground[i] = (uint8_t)std::clamp(p.ground[(size_t)source] + grain, 0, 255);
        }
        if (!f.Step(probe, Blend(moved, alphas[k]).data())) break;
    }
    f.Stop();
    return f.Frames();
}

int Follow(const std::vector<double> &strengths) {
    FadeFollower f(30);
    for (double s : strengths)
        if (!f.Step(s)) break;
    f.Stop();
    return f.Frames();
}

}  // namespace

// Guards: the opacity misread on a busy picture (a fade's frames cut short or taken too far).
TEST(Fade, StrengthIsTheOpacity) {
    const Planes p = MakePlanes();
    const FadeProbe probe = MakeFadeProbe(p.pixels, p.luma, kW);
    ASSERT_TRUE(probe.Usable());
    for (double a : {0.0, 0.1, 0.5, 1.0}) EXPECT_NEAR(FadeStrength(probe, Blend(p, a).data()), a, 0.05) << a;
}

// Guards: dark picture beside the text, which may change while the text stays, read as its outline.
TEST(Fade, OnlyDarkPixelsBesideTheFillCount) {
    std::vector<int> pixels;
    std::vector<uint8_t> luma;
    for (int x = 10; x < 20; ++x) pixels.push_back(5 * kW + x), luma.push_back(230);  // light
    for (int x = 0; x < 30; ++x) pixels.push_back(10 * kW + x), luma.push_back(20);  // dark, rows away
    EXPECT_FALSE(MakeFadeProbe(pixels, luma, kW).Usable());
    for (int x = 9; x <= 20; ++x) pixels.push_back(6 * kW + x), pixels.push_back(4 * kW + x), luma.push_back(20), luma.push_back(20);
    const FadeProbe probe = MakeFadeProbe(pixels, luma, kW);
    ASSERT_TRUE(probe.Usable());
    EXPECT_EQ(probe.dark.size(), 24u);
}

// Guards: a fade's frames lost, the picture after it taken as fading, a held text ended early.
TEST(Fade, FollowerTakesTheFallingRunAboveThePicture) {
    EXPECT_EQ(Follow({0.8, 0.6, 0.4, 0.2, 0.02, 0.01, 0.03, 0.02}), 4);
    EXPECT_EQ(Follow({1.0, 0.95, 0.7, 0.35, 0.1, 0.1, 0.11}), 2 + 2);  // held, then two above the level
    EXPECT_EQ(Follow({0.04, 0.03, 0.05}), 0);                          // the picture's own contrast
}

// Guards: the next text in the same place (no gap) or in a gap of a few frames taken as a fade.
TEST(Fade, FollowerStopsAtAnotherText) {
    EXPECT_EQ(Follow({0.3, 0.31, 0.29}), 0);       // another text's glyphs: flat, no fall
    EXPECT_EQ(Follow({0.05, 0.04, 0.45, 0.5}), 0);  // a gap, then a text: the rise ends it
    EXPECT_EQ(Follow({0.6, 0.3, 0.02, 0.6}), 2);    // a fade, then at once another text
}

// Guards: the picture's own contrast at a light shadow's pixels, falling as the camera moves, taken
// for the end of a fade.
TEST(Fade, FollowerWantsAFadeToStartNearlyWhole) {
    EXPECT_EQ(Follow({0.42, 0.46, 0.36, 0.31, 0.09, -0.01, -0.07, -0.09, -0.13, -0.17, -0.15}), 0);
    EXPECT_EQ(Follow({0.38, 0.32, 0.4, 0.47}), 0);
}

// Guards: a linear fade's last frame, a few percent opaque and within the picture's wobble, lost
// (the subtitle's first or last frame one out); and the picture moving beyond a fade's end taken
// for that frame.
TEST(Fade, FaintestFrameIsToldFromThePicture) {
    const std::vector<double> fade = {0.8, 0.62, 0.44, 0.26, 0.08};
    std::vector<double> faint = fade, none = fade;
    faint.push_back(0.025);
    for (int k = 0; k < 8; ++k) faint.push_back(0), none.push_back(0);
    EXPECT_EQ(FollowFrames(faint, 2, false), 6);
    EXPECT_EQ(FollowFrames(none, 2, false), 5);
    EXPECT_EQ(FollowFrames(none, 0, true), 5);
    EXPECT_EQ(FollowFrames(none, 3, true), 5);
    // Followed by strengths alone (no frames), the faint frame stays within the picture's level.
    std::vector<double> strengths;
    const Planes p = MakePlanes();
    const FadeProbe probe = MakeFadeProbe(p.pixels, p.luma, kW);
    for (double a : faint) strengths.push_back(FadeStrength(probe, Blend(p, a).data()));
    EXPECT_EQ(Follow(strengths), 5);
}
