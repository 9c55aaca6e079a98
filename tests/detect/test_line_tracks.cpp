// The line pass on plain luma planes: lines handed in as the text detector would find them, over
// pictures that move, stand still, or stop moving, so that what tells a subtitle is tested apart
// from the network.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "detect/line_tracks.h"

namespace {

constexpr int kW = 320, kH = 240, kInterval = 8;
// The line: a row of glyph-like strokes (white, with a dark outline) near the bottom.
constexpr int kLineX = 80, kLineY = 190, kLineW = 160, kLineH = 16;

// A textured picture, shifted `shift` pixels to the left.
std::vector<uint8_t> Texture(int shift, uint32_t seed = 7) {
    static std::vector<uint8_t> big;
    if (big.empty()) {
        std::mt19937 rng(seed);
        big.resize((size_t)(kW + 400) * kH);
        for (auto &v : big) v = (uint8_t)(60 + rng() % 120);
    }
    std::vector<uint8_t> p((size_t)kW * kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) p[(size_t)y * kW + x] = big[(size_t)y * (kW + 400) + x + shift];
    return p;
}

// Vertical strokes 2 pixels wide every 6, outlined by a pixel of black, `offset` pixels right of
// the line's place (cut at the picture's edges).
void DrawLine(std::vector<uint8_t> &p, int offset = 0) {
    const auto put = [&](int x, int y, uint8_t v) {
        if (x >= 0 && x < kW) p[(size_t)y * kW + x] = v;
    };
    for (int x = kLineX + offset; x < kLineX + offset + kLineW; x += 6) {
        for (int y = kLineY - 1; y <= kLineY + kLineH; ++y)
            for (int dx = -1; dx <= 2; ++dx) put(x + dx, y, 10);
        for (int y = kLineY; y < kLineY + kLineH; ++y)
            for (int dx = 0; dx < 2; ++dx) put(x + dx, y, 240);
    }
}

const std::vector<SubtitleDetector::Box> kLine = {{kLineX, kLineY, kLineW, kLineH}};

// Runs `frames` frames of `picture(f)`; the line is proposed in every sampled frame where
// `proposed(f)` holds, its lines handed in `lag` frames late.
template <typename Picture, typename Proposed>
std::vector<FoundSubtitle> Track(int frames, Picture picture, Proposed proposed, int lag = 0) {
    LineTracker tracker(kW, kH, kInterval, 25, 0.6, 12);
    for (int f = 0; f < frames; ++f) {
        const std::vector<uint8_t> p = picture(f);
        tracker.AddFrame(p.data(), kW);
        const int sample = f - lag;
        if (sample >= 0 && sample % kInterval == 0) tracker.AddTextLines(sample, proposed(sample) ? kLine : std::vector<SubtitleDetector::Box>{});
    }
    return tracker.Finish();
}

bool Shown(int f) { return f >= 21 && f <= 70; }

// Guards: first or last frame off by the sampling (a subtitle is seen only every 8th frame), and a
// mask that misses the strokes or their outline.
TEST(LineTracks, MovingPictureGivesExactEndsAndTheStrokes) {
    const auto found = Track(
        100,
        [](int f) {
            std::vector<uint8_t> p = Texture(3 * f);
            if (Shown(f)) DrawLine(p);
            return p;
        },
        Shown);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].first, 21);
    EXPECT_EQ(found[0].last, 70);
    const SubtitleShape &s = found[0].shape;
    ASSERT_TRUE(s.text);
    // Every stroke and outline pixel lies in the graymap or within the widening's reach of it.
    const int reach = s.widening.Reach();
    EXPECT_GE(reach, 1);
    for (int x = kLineX - 1; x < kLineX + kLineW; ++x) {
        for (int y = kLineY - 1; y <= kLineY + kLineH; ++y) {
            EXPECT_TRUE(x >= s.x - reach && x < s.x + s.width + reach && y >= s.y - reach && y < s.y + s.height + reach)
                << x << "," << y;
        }
    }
}

// Guards: thin strokes taken for picture. A stroke narrower than a pixel or two (small CJK glyphs)
// covers its pixels only in part, so each mixes the text with the moving picture and is never
// steady, yet it is lighter than the picture before and after it in every frame. Every other
// stroke here is whole (its pixels steady), as in such a line, where the glyphs' wider strokes are.
TEST(LineTracks, ThinStrokesOverAMovingPictureAreFoundWhole) {
    const auto partial = [](int x) { return (x - kLineX) % 10 != 0; };
    const auto found = Track(
        100,
        [&](int f) {
            std::vector<uint8_t> p = Texture(3 * f);
            for (auto &v : p) v = (uint8_t)(v * 3 / 4);  // a darker picture: 45 to 134
            if (Shown(f))
                for (int x = kLineX; x < kLineX + kLineW; x += 5)
                    for (int y = kLineY; y < kLineY + kLineH; ++y) {
                        uint8_t &v = p[(size_t)y * kW + x];
                        v = partial(x) ? (uint8_t)((7 * 235 + 3 * v) / 10) : 235;
                    }
            return p;
        },
        Shown);
    ASSERT_EQ(found.size(), 1u);
    const SubtitleShape &s = found[0].shape;
    ASSERT_TRUE(s.text);
    int strokes = 0, inGraymap = 0;
    for (int x = kLineX; x < kLineX + kLineW; x += 5)
        for (int y = kLineY; y < kLineY + kLineH && partial(x); ++y, ++strokes)
            if (x >= s.x && x < s.x + s.width && y >= s.y && y < s.y + s.height)
                inGraymap += s.graymap[(size_t)(y - s.y) * s.width + (x - s.x)] != 0;
    EXPECT_GE(inGraymap, strokes * 9 / 10);
}

// Guards: a signature taken from the picture rather than the text when the candidate's sample
// caught a fade-in. Behind the line a flat grey patch comes in just before the subtitle and goes
// mid-way (a drawing coloured in, then cleared): it holds still between the two samples and
// differs from the sample before, while the fading text does not hold still; a signature of the
// patch gave the patch's frames, not the subtitle's.
TEST(LineTracks, FadeInCaughtByTheSampleKeepsTheSubtitlesEnds) {
    const auto found = Track(
        100,
        [](int f) {
            std::vector<uint8_t> p = Texture(3 * f);
            if (f >= 18 && f < 45)
                for (int y = kLineY - 20; y < kLineY + kLineH + 20; ++y)
                    for (int x = kLineX - 30; x < kLineX + kLineW + 30; ++x) p[(size_t)y * kW + x] = 110;
            if (Shown(f)) {
                std::vector<uint8_t> text = p;
                DrawLine(text);
                const int alpha = std::min(6, f - 20);  // sixths: fading in over frames 21 to 26
                for (size_t i = 0; i < p.size(); ++i) p[i] = (uint8_t)((alpha * text[i] + (6 - alpha) * p[i]) / 6);
            }
            return p;
        },
        Shown);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_GE(found[0].first, 21);
    EXPECT_LE(found[0].first, 22);
    EXPECT_EQ(found[0].last, 70);
}

// Guards: the result depending on when the network's lines arrive within the allowed lag, and
// lines later than that being used on frames no longer kept.
TEST(LineTracks, LateLinesGiveTheSameSubtitleUpToTheLag) {
    const auto picture = [](int f) {
        std::vector<uint8_t> p = Texture(3 * f);
        if (Shown(f)) DrawLine(p);
        return p;
    };
    const auto onTime = Track(100, picture, Shown);
    const auto late = Track(100, picture, Shown, 12);
    ASSERT_EQ(onTime.size(), 1u);
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0].first, onTime[0].first);
    EXPECT_EQ(late[0].last, onTime[0].last);
    EXPECT_EQ(late[0].shape.graymap, onTime[0].shape.graymap);
    EXPECT_TRUE(Track(100, picture, Shown, 13).empty());
}

// Guards: text of the scene taken for a subtitle, in a still shot (there all along) and when a
// moving camera stops (every pixel turns steady and different at once).
TEST(LineTracks, SceneTextIsNotASubtitle) {
    const auto still = Track(
        100,
        [](int) {
            std::vector<uint8_t> p = Texture(0);
            DrawLine(p);
            return p;
        },
        [](int) { return true; });
    EXPECT_TRUE(still.empty());
    // Text on a thing in the picture moves with it until frame 30, then the camera holds for 40
    // frames and moves on.
    const auto stops = Track(
        100,
        [](int f) {
            const int shift = f < 30 ? 3 * f : f < 70 ? 90 : 90 + 3 * (f - 70);
            std::vector<uint8_t> p = Texture(shift);
            DrawLine(p, 90 - shift);
            return p;
        },
        [](int f) { return f >= 32 && f < 70; });
    EXPECT_TRUE(stops.empty());
}

}  // namespace
