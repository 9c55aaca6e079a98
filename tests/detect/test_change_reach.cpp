// How far --radius auto widens an index written elsewhere, from what changes as a subtitle comes
// and goes: synthetic spans whose picture moves or stands still under a fill of strokes with a
// soft shadow, an outline or a box composited over it, the damage's true reach known exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "detect/change_reach.h"
#include "detect/subtitle_shape.h"

namespace {

constexpr int kW = 400, kH = 110, kFrames = 20;
// The fill: a line of strokes 3 wide and 30 high, 11 apart, 300 wide, in the middle of the span.
constexpr int kLeft = 50, kTop = 40, kStrokes = 28, kLineWidth = 11 * (kStrokes - 1) + 3, kLineHeight = 30;

cv::Mat Fill() {
    cv::Mat fill = cv::Mat::zeros(kH, kW, CV_8U);
    for (int i = 0; i < kStrokes; ++i) fill(cv::Rect(kLeft + 11 * i, kTop, 3, kLineHeight)) = 255;
    return fill;
}

// The strokes' bounding box widened by `margin`.
cv::Rect AroundLine(int margin) {
    return cv::Rect(kLeft - margin, kTop - margin, kLineWidth + 2 * margin, kLineHeight + 2 * margin);
}

// A smooth random picture three times the span's size, 60 to 190.
cv::Mat Picture(unsigned seed) {
    cv::Mat noise(3 * kH, 3 * kW, CV_32F);
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> u(0, 1);
    for (int r = 0; r < noise.rows; ++r)
        for (int c = 0; c < noise.cols; ++c) noise.at<float>(r, c) = u(random);
    cv::GaussianBlur(noise, noise, cv::Size(0, 0), 2);
    cv::normalize(noise, noise, 60, 190, cv::NORM_MINMAX);
    return noise;
}

// What a style draws: per pixel the opacity of black (shadow, outline, box) and of the white fill.
struct Style {
    cv::Mat black, white;  // CV_32F, 0..1
};

Style SoftShadow(double opacity, int offset, double blur) {
    Style s{cv::Mat(), cv::Mat()};
    Fill().convertTo(s.white, CV_32F, 1 / 255.0);
    cv::Mat shifted = cv::Mat::zeros(kH, kW, CV_32F);
    s.white(cv::Rect(0, 0, kW - offset, kH - offset)).copyTo(shifted(cv::Rect(offset, offset, kW - offset, kH - offset)));
    cv::GaussianBlur(shifted, s.black, cv::Size(0, 0), blur);
    s.black *= opacity;
    return s;
}

// An opaque outline `width` pixels wide, then one ring at half opacity (its anti-aliasing).
Style Outline(int width) {
    Style s;
    Fill().convertTo(s.white, CV_32F, 1 / 255.0);
    cv::Mat core, edge;
    cv::dilate(Fill(), core, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * width + 1, 2 * width + 1)));
    cv::dilate(Fill(), edge, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * width + 3, 2 * width + 3)));
    core.convertTo(core, CV_32F, 1 / 255.0);
    edge.convertTo(edge, CV_32F, 0.5 / 255.0);
    s.black = cv::max(core, edge);
    return s;
}

// A translucent box `margin` pixels around the strokes.
Style Box(int margin, double opacity) {
    Style s{cv::Mat::zeros(kH, kW, CV_32F), cv::Mat()};
    Fill().convertTo(s.white, CV_32F, 1 / 255.0);
    s.black(AroundLine(margin)) = opacity;
    return s;
}

// The share of the damage (where the style changes a white picture by more than 2 levels) within
// `reach` (Chebyshev) of the fill, or of `graymap` (kW x kH) where given.
double Covered(const Style &s, int reach, const std::vector<uint8_t> *graymap = nullptr) {
    cv::Mat distance, outside = Fill() == 0;
    if (graymap) outside = cv::Mat(kH, kW, CV_8U, const_cast<uint8_t *>(graymap->data())) == 0;
    cv::distanceTransform(outside, distance, cv::DIST_C, 3, CV_32F);
    int damaged = 0, within = 0;
    for (int r = 0; r < kH; ++r)
        for (int c = 0; c < kW; ++c) {
            if (s.black.at<float>(r, c) * 255 <= 2) continue;
            ++damaged;
            within += distance.at<float>(r, c) < reach + 0.5f;
        }
    return (double)within / damaged;
}

int TrueReach(const Style &s) {
    int reach = 0;
    while (Covered(s, reach) < 1) ++reach;
    return reach;
}

// Frame t of a clip: the picture moved by `step` pixels a frame (right and down), the style over
// it while `shown`, at `strength` (a fade's steps).
std::vector<uint8_t> FrameOf(const cv::Mat &picture, int t, int step, const Style *shown, double strength = 1) {
    const cv::Mat view = picture(cv::Rect(kW + step * t % kW, kH + step * t / 2 % kH, kW, kH));
    std::vector<uint8_t> out((size_t)kW * kH);
    for (int r = 0; r < kH; ++r)
        for (int c = 0; c < kW; ++c) {
            double v = view.at<float>(r, c);
            if (shown) {
                v *= 1 - strength * shown->black.at<float>(r, c);
                v += (235 - v) * strength * shown->white.at<float>(r, c);
            }
            out[(size_t)r * kW + c] = cv::saturate_cast<uint8_t>(v);
        }
    return out;
}

struct Clip {
    LumaSpan span;
    ComeAndGo change;
    std::vector<uint8_t> graymap;
};

// Frames 0..kFrames-1 show the style, fading in and out over `fade` frames; the frame before
// and the one after do not. The picture swings `contrast` times 65 levels about `level`.
Clip MakeClip(const Style &style, int step, unsigned seed = 5, double level = 125, double contrast = 1, int fade = 0) {
    const cv::Mat picture = (Picture(seed) - 125) * contrast + level;
    Clip clip;
    clip.span.Reset(0, 0, kW, kH);
    for (int t = 0; t < kFrames; ++t) {
        const double strength = std::min({1.0, (t + 1.0) / (fade + 1), (kFrames - t) / (fade + 1.0)});
        const std::vector<uint8_t> f = FrameOf(picture, t, step, &style, strength);
        clip.span.Add(f.data(), kW);
        if (t == 0) clip.change.first = f;
        if (t == 1) clip.change.second = f;
        if (t == kFrames - 2) clip.change.penultimate = f;
        if (t == kFrames - 1) clip.change.last = f;
    }
    clip.change.before = FrameOf(picture, -1, step, nullptr);
    clip.change.after = FrameOf(picture, kFrames, step, nullptr);
    const cv::Mat fill = Fill();
    clip.graymap.assign(fill.datastart, fill.dataend);
    return clip;
}

ChangedReach Reach(const Clip &clip) { return ChangeReach(clip.graymap.data(), kW, kH, clip.change); }

// Guards: a soft blurred shadow over a moving picture, never steady, measured by its dark core
// alone (a fifth of the damage left); and its tail carried on at a steady rate rather than
// steepening as a blurred edge's does, 2 pixels past the shadow.
TEST(RadiusFromChange, ASoftShadowOverAMovingPictureIsCoveredToItsFaintEdge) {
    const Style shadow = SoftShadow(0.62, 4, 3.5);
    const int truth = TrueReach(shadow);
    ASSERT_GE(truth, 8);
    for (unsigned seed = 1; seed <= 4; ++seed) {
        const Clip clip = MakeClip(shadow, 2, seed, 125, 0.5);
        const ChangedReach r = Reach(clip);
        EXPECT_GE(Covered(shadow, r.reach), 0.995) << seed;
        EXPECT_LE(r.reach, truth + 1) << seed;
        EXPECT_FALSE(r.still);
        const Widening steady = WideningAroundGraymap(clip.span, clip.graymap.data(), 0, 0, kW, kH, FillRule());
        EXPECT_LT(Covered(shadow, steady.Reach()), 0.9) << "the steady rings alone were enough: the case tests nothing";
        const Widening both = WideningAroundGraymap(clip.span, clip.graymap.data(), 0, 0, kW, kH, FillRule(), &clip.change);
        EXPECT_EQ(both.Reach(), std::max(r.reach, steady.Reach()));
    }
}

// Guards: an outline's step to nothing, or a box's edge, carried on as if it were a soft fall
// (a box 8 pixels out widened to the limit, 20).
TEST(RadiusFromChange, AStepToNothingHasNoTail) {
    const Style outline = Outline(2);
    EXPECT_EQ(Reach(MakeClip(outline, 3)).reach, TrueReach(outline));
    const Style box = Box(8, 0.56);
    const ChangedReach still = Reach(MakeClip(box, 0));
    EXPECT_EQ(still.reach, TrueReach(box));
    EXPECT_TRUE(still.still);
    EXPECT_EQ(Reach(MakeClip(box, 3)).reach, TrueReach(box));
}

// Guards: a light box (dark text on it) read with the sign of a shadow, so that its rings count
// as nothing.
TEST(RadiusFromChange, ALighteningCountsAsMuchAsADarkening) {
    Style box{cv::Mat(), cv::Mat::zeros(kH, kW, CV_32F)};
    Fill().convertTo(box.black, CV_32F, 1 / 255.0);  // black strokes...
    box.white(AroundLine(6)) = 0.8;                   // ...on a light box 6 pixels around them
    box.white.setTo(0, Fill());
    EXPECT_EQ(Reach(MakeClip(box, 3)).reach, 6);
}

// Guards: a cut at the subtitle's first frame (the frame before is another scene) read as damage
// all around; and an end that tells nothing taken for a reach of 1.
TEST(RadiusFromChange, AnEndAtACutIsNotUsed) {
    const Style outline = Outline(2);
    Clip clip = MakeClip(outline, 3);
    Clip cut = clip;
    cut.change.before = FrameOf(Picture(99) * 0.4, 0, 0, nullptr);
    Clip oneEnd = clip;
    oneEnd.change.before.clear();
    EXPECT_EQ(Reach(cut).reach, Reach(oneEnd).reach);
    EXPECT_EQ(Reach(cut).reach, TrueReach(outline));
    cut.change.after = FrameOf(Picture(98) * 0.4, 0, 0, nullptr);
    EXPECT_EQ(Reach(cut).reach, 0);
    Clip none = clip;
    none.change = ComeAndGo();
    EXPECT_EQ(Reach(none).reach, 0);
}

// Guards: with one end only, over a picture that moves fast, the picture's own change (level
// across the rings) taken for a shadow's fall and carried out to the limit.
TEST(RadiusFromChange, ThePicturesOwnChangeAtOneEndIsNotAShadow) {
    const Style outline = Outline(2);
    for (unsigned seed = 1; seed <= 6; ++seed) {
        Clip clip = MakeClip(outline, 9, seed);
        clip.change.after.clear();
        EXPECT_LE(Reach(clip).reach, TrueReach(outline) + 1) << seed;
        EXPECT_GE(Reach(clip).reach, TrueReach(outline) - 1) << seed;
    }
}

// Guards: over a still dark picture (steady and dark all around) the steady rings run to their
// limit, 15; the change, seen whole at both ends, must win over them.
TEST(RadiusFromChange, OverAStillPictureTheChangeIsTheWholeDamage) {
    const Style outline = Outline(2);
    const Clip clip = MakeClip(outline, 0, 7, 65, 0.5);
    const Widening steady = WideningAroundGraymap(clip.span, clip.graymap.data(), 0, 0, kW, kH, FillRule());
    const Widening both = WideningAroundGraymap(clip.span, clip.graymap.data(), 0, 0, kW, kH, FillRule(), &clip.change);
    EXPECT_GT(steady.Reach(), TrueReach(outline) + 2) << "the steady rings were right: the case tests nothing";
    EXPECT_EQ(both, WideningFor(TrueReach(outline), 40));
}

// Guards: the faint tail's end set in levels alone, so that a subtitle fading in and out (its
// first and last frames a tenth as strong) has its soft edge cut short (93 % covered).
TEST(RadiusFromChange, AFadesFaintEndsTellTheWholeSoftEdge) {
    Style soft = Outline(2);
    cv::GaussianBlur(soft.black, soft.black, cv::Size(0, 0), 3);
    soft.black = cv::max(soft.black, Outline(2).black);
    const int reach = Reach(MakeClip(soft, 0, 7, 65, 0.5, 9)).reach;
    EXPECT_GE(Covered(soft, reach), 0.995);
    EXPECT_LE(reach, TrueReach(soft) + 2);
}

// Guards: an outline whose anti-aliasing spans two pixels (two steps down from its peak) taken for
// the start of a soft shadow's fall, when the picture beside the line changed at one end (a scene
// cut near the line's ends), and widened 3 pixels past it.
TEST(RadiusFromChange, AnOutlinesTwoStepEdgeIsNoSoftFall) {
    Style outline = Outline(2);
    cv::Mat ring3, ring4;
    cv::dilate(Fill(), ring3, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(7, 7)));
    cv::dilate(Fill(), ring4, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(9, 9)));
    ring3.convertTo(ring3, CV_32F, 0.55 / 255.0);
    ring4.convertTo(ring4, CV_32F, 0.25 / 255.0);
    cv::Mat core;
    cv::dilate(Fill(), core, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5)));
    core.convertTo(core, CV_32F, 1 / 255.0);
    outline.black = cv::max(core, cv::max(ring3, ring4));
    for (int lift = 8; lift <= 16; lift += 2) {
        Clip clip = MakeClip(outline, 2, 3, 125, 0.5);
        // The picture beside the line's two ends, within 12 pixels of them, lighter after it went.
        for (int r = kTop - 10; r < kTop + kLineHeight + 10; ++r)
            for (int c : {kLeft - 12, kLeft + kLineWidth})
                for (int x = c; x < c + 12; ++x) clip.change.after[(size_t)r * kW + x] += lift;
        const int reach = Reach(clip).reach;
        EXPECT_GE(Covered(outline, reach), 0.995) << lift;
        EXPECT_LE(reach, TrueReach(outline) + 1) << lift;
    }
}

// Guards: over a still picture, the change's reach taken over steady rings that found an edge,
// from a graymap that misses part of the fill (as found ones may): the missed part's lightening
// cuts the change's profiles short, and its outline is left out (95.7 % covered for 98.4 %).
TEST(RadiusFromChange, AnIncompleteGraymapKeepsTheSteadyEdge) {
    const Style outline = Outline(3);
    for (double level : {140.0, 170.0}) {
        Clip clip = MakeClip(outline, 0, 7, level, 0.3);
        // The graymap misses the lower half of every other stroke.
        for (int i = 0; i < kStrokes; i += 2)
            for (int r = kTop + kLineHeight / 2; r < kTop + kLineHeight; ++r)
                for (int c = kLeft + 11 * i; c < kLeft + 11 * i + 3; ++c) clip.graymap[(size_t)r * kW + c] = 0;
        const Widening steady = WideningAroundGraymap(clip.span, clip.graymap.data(), 0, 0, kW, kH, FillRule());
        ASSERT_LT(steady.Reach(), 15) << "the steady rings found no edge: the case tests nothing";
        ASSERT_LT(Covered(outline, Reach(clip).reach, &clip.graymap), Covered(outline, steady.Reach(), &clip.graymap))
            << "the change alone covered as much: the case tests nothing";
        const Widening both = WideningAroundGraymap(clip.span, clip.graymap.data(), 0, 0, kW, kH, FillRule(), &clip.change);
        EXPECT_GE(Covered(outline, both.Reach(), &clip.graymap), Covered(outline, steady.Reach(), &clip.graymap)) << level;
    }
}

}  // namespace
