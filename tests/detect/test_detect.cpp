// The detector on synthetic films: a textured picture that pans under subtitles drawn as films
// show them (light fill, dark outline), with the frames each one shows known exactly.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "detect/detector.h"
#include "detect/timeline.h"

namespace {

constexpr int kWidth = 360, kHeight = 288;

struct Caption {
    int first, last;
    std::string text;
    cv::Point place;  // baseline start
    bool darkOnBox = false;
    int fade = 0;  // frames of fading in and out within first..last (linear, as an \fad)
};

// A smooth random texture twice the picture's size, mid-grey with light and dark patches.
cv::Mat Texture(unsigned seed) {
    cv::Mat noise(kHeight * 2, kWidth * 2, CV_32F);
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> u(0, 1);
    for (int r = 0; r < noise.rows; ++r)
        for (int c = 0; c < noise.cols; ++c) noise.at<float>(r, c) = u(random);
    cv::GaussianBlur(noise, noise, cv::Size(0, 0), 4);
    cv::normalize(noise, noise, 30, 200, cv::NORM_MINMAX);
    cv::Mat out;
    noise.convertTo(out, CV_8U);
    return out;
}

void DrawCaption(cv::Mat &frame, const Caption &c) {
    if (c.darkOnBox) {
        int base = 0;
        const cv::Size size = cv::getTextSize(c.text, cv::FONT_HERSHEY_DUPLEX, 0.9, 2, &base);
        cv::rectangle(frame, cv::Rect(c.place.x - 6, c.place.y - size.height - 6, size.width + 12, size.height + base + 12),
                      cv::Scalar(225), cv::FILLED);
        cv::putText(frame, c.text, c.place, cv::FONT_HERSHEY_DUPLEX, 0.9, cv::Scalar(20), 2, cv::LINE_AA);
        return;
    }
    cv::putText(frame, c.text, c.place, cv::FONT_HERSHEY_DUPLEX, 0.9, cv::Scalar(16), 6, cv::LINE_AA);
    cv::putText(frame, c.text, c.place, cv::FONT_HERSHEY_DUPLEX, 0.9, cv::Scalar(235), 2, cv::LINE_AA);
}

struct Film {
    int frames = 100;
    std::vector<Caption> captions;
    int cutAt = -1;  // a scene cut: another texture from this frame on
    std::function<void(cv::Mat &, int)> extra;  // drawn over each frame before the captions
};

std::vector<FoundSubtitle> Detect(const Film &film, DetectSettings settings = DetectSettings()) {
    const cv::Mat a = Texture(1), b = Texture(2);
    SubtitleDetector detector(kWidth, kHeight, settings);
    cv::Mat frame;
    for (int t = 0; t < film.frames; ++t) {
        const cv::Mat &texture = film.cutAt >= 0 && t >= film.cutAt ? b : a;
        texture(cv::Rect(3 * t % kWidth, t % kHeight, kWidth, kHeight)).copyTo(frame);
        if (film.extra) film.extra(frame, t);
        for (const Caption &c : film.captions) {
            if (t < c.first || t > c.last) continue;
            const int edge = std::min(t - c.first, c.last - t) + 1;
            if (edge > c.fade) {
                DrawCaption(frame, c);
                continue;
            }
            cv::Mat drawn = frame.clone();
            DrawCaption(drawn, c);
            const double alpha = (double)edge / (c.fade + 1);
            cv::addWeighted(drawn, alpha, frame, 1 - alpha, 0, frame);
        }
        detector.AddFrame(frame.data, (std::ptrdiff_t)frame.step);
    }
    return detector.Finish();
}

// The fraction of the caption's light fill pixels that the graymap marks.
double FillCovered(const Caption &c, const FoundSubtitle &f) {
    cv::Mat truth = cv::Mat::zeros(kHeight, kWidth, CV_8U);
    cv::putText(truth, c.text, c.place, cv::FONT_HERSHEY_DUPLEX, 0.9, cv::Scalar(255), 2, cv::LINE_8);
    int total = 0, covered = 0;
    for (int r = 0; r < kHeight; ++r)
        for (int x = 0; x < kWidth; ++x) {
            if (!truth.at<uint8_t>(r, x)) continue;
            ++total;
            const int gx = x - f.shape.x, gy = r - f.shape.y;
            covered += gx >= 0 && gy >= 0 && gx < f.shape.width && gy < f.shape.height &&
                       f.shape.graymap[(size_t)gy * f.shape.width + gx] != 0;
        }
    return total ? (double)covered / total : 0;
}

const cv::Point kBottom(40, 260);

// Guards: first and last frames off by the birth delay or by one, a subtitle split or lost.
TEST(Detector, FindsKnownRangesExactly) {
    Film film;
    film.frames = 120;
    film.captions = {{10, 49, "Where is the tide?", kBottom}, {62, 109, "Gone with the moon.", cv::Point(60, 250)}};
    const std::vector<FoundSubtitle> found = Detect(film);
    ASSERT_EQ(found.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(found[i].first, film.captions[i].first) << i;
        EXPECT_EQ(found[i].last, film.captions[i].last) << i;
        EXPECT_GE(FillCovered(film.captions[i], found[i]), 0.8) << i;
        EXPECT_FALSE(found[i].shape.darkOnBox);
    }
}

// Guards: a new text in the same place with no gap merged into the old one, or started late.
TEST(Detector, ChangeOfTextWithoutGapStartsANewSubtitle) {
    Film film;
    film.captions = {{5, 44, "We walk at dawn.", kBottom}, {45, 90, "Then we rest here.", kBottom}};
    const std::vector<FoundSubtitle> found = Detect(film);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].first, 5);
    EXPECT_EQ(found[0].last, 44);
    EXPECT_EQ(found[1].first, 45);
    EXPECT_EQ(found[1].last, 90);
}

// Guards: a fading subtitle found from its first fully opaque frame to its last (the fading
// frames, which show it too, left unmasked), or its fade's ends taken for another subtitle.
TEST(Detector, FadesBelongToTheSubtitle) {
    Film film;
    film.frames = 110;
    film.captions = {{10, 69, "Slowly the sea came.", kBottom, false, 8}, {75, 104, "And went.", kBottom, false, 6}};
    const std::vector<FoundSubtitle> found = Detect(film);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].first, 10);
    EXPECT_EQ(found[0].last, 69);
    EXPECT_EQ(found[1].first, 75);
    EXPECT_EQ(found[1].last, 104);
}

// Guards: a scene cut under a text that stays ending the subtitle; a subtitle at the film's ends.
TEST(Detector, SceneCutDoesNotCutTheSubtitle) {
    Film film;
    film.frames = 80;
    film.cutAt = 30;
    film.captions = {{0, 79, "The light went out.", kBottom}};
    const std::vector<FoundSubtitle> found = Detect(film);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].first, 0);
    EXPECT_EQ(found[0].last, 79);
}

// Guards: a static bright logo (solid shape, no strokes) taken for a subtitle.
TEST(Detector, StaticBrightLogoIsNotASubtitle) {
    Film film;
    film.frames = 120;
    film.extra = [](cv::Mat &frame, int) {
        cv::circle(frame, cv::Point(320, 30), 16, cv::Scalar(20), cv::FILLED);
        cv::circle(frame, cv::Point(320, 30), 13, cv::Scalar(240), cv::FILLED);
        cv::rectangle(frame, cv::Rect(280, 50, 56, 10), cv::Scalar(240), cv::FILLED);
    };
    EXPECT_TRUE(Detect(film).empty());
    // With a subtitle as well: only the subtitle.
    film.captions = {{20, 70, "Only this one.", kBottom}};
    const std::vector<FoundSubtitle> found = Detect(film);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].first, 20);
    EXPECT_EQ(found[0].last, 70);
    EXPECT_GT(found[0].shape.y, kHeight / 2);
}

// Guards: texts that move with the picture (a sign) or flicker (highlights) taken for subtitles.
TEST(Detector, FilmWithoutSubtitlesGivesNone) {
    Film film;
    film.frames = 150;
    film.extra = [](cv::Mat &frame, int t) {
        // A sign painted on the scene, moving with it.
        cv::putText(frame, "HOTEL ROYAL", cv::Point(200 - 3 * t % 200, 120), cv::FONT_HERSHEY_DUPLEX, 0.9, cv::Scalar(16), 6);
        cv::putText(frame, "HOTEL ROYAL", cv::Point(200 - 3 * t % 200, 120), cv::FONT_HERSHEY_DUPLEX, 0.9, cv::Scalar(240), 2);
        // Highlights that come and go every few frames.
        if (t % 5 < 2) cv::circle(frame, cv::Point(100 + t % 7 * 20, 200), 3, cv::Scalar(250), cv::FILLED);
    };
    EXPECT_TRUE(Detect(film).empty());
}

// Guards: dark glyphs on a light box missed, or the box taken as the fill.
TEST(Detector, DarkTextOnLightBox) {
    Film film;
    film.captions = {{10, 70, "A box of words", cv::Point(50, 250), true}};
    const std::vector<FoundSubtitle> found = Detect(film);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].first, 10);
    EXPECT_EQ(found[0].last, 70);
    EXPECT_TRUE(found[0].shape.darkOnBox);
    // The fill is the glyphs, a small part of the box.
    size_t set = 0;
    for (uint8_t v : found[0].shape.graymap) set += v != 0;
    EXPECT_LT(set, found[0].shape.graymap.size() / 2);
    // The box is damage too: the radius reaches its edge (6 pixels around the glyphs).
    EXPECT_GE(found[0].shape.widening.Reach(), 6);
}

// Guards: --detect-region ignored.
TEST(Detector, RegionLimitsTheSearch) {
    Film film;
    film.captions = {{10, 60, "Down here.", kBottom}, {10, 60, "Up there.", cv::Point(60, 40)}};
    DetectSettings settings;
    settings.regionTop = 0;
    settings.regionBottom = 40;
    std::vector<FoundSubtitle> found = Detect(film, settings);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_LT(found[0].shape.y, kHeight / 3);
}

// Guards: the radius formula out of step with the module's widening (pass i looks i away); a
// widening that falls short of the reach or past it, or grows a graymap by a whole radius step
// where the module's own steps do; past a tight graymap's rectangle, a larger radius that widens
// every pixel past the reach instead of a larger grow.
TEST(Radius, ReachFollowsTheModulesWidening) {
    EXPECT_EQ(ReachOfRadius(2), 3);
    EXPECT_EQ(ReachOfRadius(5), 15);
    EXPECT_EQ(RadiusForReach(0), 0);
    EXPECT_EQ(RadiusForReach(3), 2);
    EXPECT_EQ(RadiusForReach(4), 3);
    EXPECT_EQ(RadiusForReach(100), 10);
    for (int reach = 0; reach <= ReachOfRadius(kMaxRadius); ++reach) {
        const Widening w = WideningFor(reach, reach);
        EXPECT_EQ(w.Reach(), reach) << reach;
        EXPECT_LE(w.grow, w.radius) << reach;
    }
    EXPECT_EQ(WideningFor(4, 4), (Widening{2, 1}));
    EXPECT_EQ(WideningFor(6, 6), (Widening{3, 0}));
    // A 2-pixel border around a reach of 12 (a soft shadow): the widening must carry 9 pixels past
    // the rectangle and reach no farther than 12 within it (radius 5 and a grow of 4 reach 19).
    for (int reach = 3; reach <= 20; ++reach) {
        const Widening w = WideningFor(reach, 2);
        EXPECT_EQ(w.Reach(), reach) << reach;
        EXPECT_GE(w.Outward(), reach - 3) << reach;
    }
    EXPECT_EQ(WideningFor(12, 2), (Widening{0, 12}));
    EXPECT_EQ(WideningFor(5, 2), (Widening{2, 2}));
    // As far as the largest radius with as much grow, no farther.
    EXPECT_EQ(WideningFor(200, 2).Reach(), ReachOfRadius(kMaxRadius) + kMaxRadius);
}

// Guards: a grown graymap missing a corner (a cross instead of a square), cut at its edges, or
// grown unevenly.
TEST(Radius, GrowingAGraymapIsASquareDilation) {
    const uint8_t cells[] = {0, 0, 0, 0,  //
                             0, 9, 0, 0,  //
                             0, 0, 0, 0};
    const std::vector<uint8_t> grown = GrowGraymap(cells, 4, 3, 2);
    ASSERT_EQ(grown.size(), 8u * 7u);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 8; ++x) {
            const bool within = std::abs(x - 3) <= 2 && std::abs(y - 3) <= 2;
            EXPECT_EQ(grown[(size_t)y * 8 + x], within ? 255 : 0) << x << "," << y;
        }
    EXPECT_EQ(GrowGraymap(cells, 4, 3, 0), (std::vector<uint8_t>{0, 0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0}));
}

// Guards: an auto radius too small for the outline, or as large as the module's default.
TEST(Radius, CoversTheOutlineAndNoMore) {
    Film film;
    film.captions = {{10, 60, "Outline here.", kBottom}};
    const std::vector<FoundSubtitle> found = Detect(film);
    ASSERT_EQ(found.size(), 1u);
    // Fill 2 wide drawn over a stroke 6 wide: the outline lies 2 pixels out, its blur one more.
    EXPECT_GE(found[0].shape.widening.Reach(), 3);
    EXPECT_LT(found[0].shape.widening.Reach(), ReachOfRadius(5));
}

// A span around three vertical strokes: a dark outline `outline` pixels wide, then a ring whose
// pixels are 60 % covered by the outline's edge where `edgeShare` says so, over a picture that
// varies by 80 everywhere else (the edge pixels by the 40 % of it that shows through).
LumaSpan OutlinedStrokes(int outline, double edgeShare, std::vector<uint8_t> *graymap) {
    LumaSpan span;
    span.Reset(0, 0, 80, 60);
    span.frames = 40;
    graymap->assign(80 * 60, 0);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> u(0, 1);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 80; ++x) {
            const size_t i = (size_t)y * 80 + x;
            int ring = 99;  // Chebyshev distance from the strokes (columns 30, 40, 50; rows 20..39)
            for (int c : {30, 40, 50}) ring = std::min(ring, std::max(std::abs(x - c), std::max(20 - y, y - 39)));
            if (ring == 0) {
                (*graymap)[i] = 255;
                span.low[i] = 228, span.high[i] = 236;
            } else if (ring <= outline) {
                span.low[i] = 14, span.high[i] = 20;
            } else if (ring == outline + 1 && u(random) < edgeShare) {
                span.low[i] = 48, span.high[i] = 80;
            } else {
                span.low[i] = 120, span.high[i] = 200;
            }
        }
    return span;
}

// The graymap cut to the strokes with a clear border of 2, as the recognition tool writes it.
std::vector<uint8_t> Cropped(const std::vector<uint8_t> &graymap) {
    std::vector<uint8_t> out;
    for (int y = 18; y <= 41; ++y) out.insert(out.end(), graymap.begin() + y * 80 + 28, graymap.begin() + y * 80 + 53);
    return out;
}

// Guards: an outline whose outer edge lies part way into a ring, over a moving picture, taken to
// end a ring early, so that radius 2 leaves its outer anti-aliasing; and a ring of picture alone
// taken for outline.
TEST(Radius, TheOutlinesPartlyCoveredEdgeOverMovingPictureCounts) {
    std::vector<uint8_t> graymap;
    const LumaSpan edge = OutlinedStrokes(2, 0.6, &graymap);
    EXPECT_EQ(WideningAroundGraymap(edge, graymap.data(), 0, 0, 80, 60, FillRule()).Reach(), 4);
    const LumaSpan clean = OutlinedStrokes(2, 0.0, &graymap);
    EXPECT_EQ(WideningAroundGraymap(clean, graymap.data(), 0, 0, 80, 60, FillRule()).Reach(), 3);
}

// Guards: a shadow's last ring, dark on one side only (under half the outline's share), taken
// for picture, so that the widening stops a pixel short of the shadow; and a still picture, a
// third dark in every ring around a plain outline, taken for shadow out to the last ring.
TEST(Radius, AOneSidedShadowRingCountsUnlessThePictureIsAsDark) {
    std::vector<uint8_t> graymap;
    const LumaSpan shadow = OutlinedStrokes(2, 0.3, &graymap);
    EXPECT_EQ(WideningAroundGraymap(shadow, graymap.data(), 0, 0, 80, 60, FillRule()).Reach(), 4);
    LumaSpan dark = OutlinedStrokes(2, 0.0, &graymap);
    std::mt19937 random(11);
    for (size_t i = 0; i < dark.low.size(); ++i)
        if (dark.high[i] == 200 && random() % 10 < 3) dark.low[i] = 50, dark.high[i] = 60;
    EXPECT_EQ(WideningAroundGraymap(dark, graymap.data(), 0, 0, 80, 60, FillRule()).Reach(), 3);
}

// Guards: a graymap with the usual 2-pixel border around a 4-pixel outline widened further for
// the faint outer ring that lies past its rectangle only off the text's ends (reach 5 within the
// rectangle, 3 past it, is enough); and a 7-pixel outline left short of the 5 pixels it reaches
// past the rectangle.
TEST(Radius, TheFaintOuterRingPastATightGraymapTakesNoExtraStep) {
    std::vector<uint8_t> graymap;
    const LumaSpan span = OutlinedStrokes(4, 0.0, &graymap);
    EXPECT_EQ(WideningAroundGraymap(span, Cropped(graymap).data(), 28, 18, 25, 24, FillRule()), (Widening{2, 2}));
    const LumaSpan wide = OutlinedStrokes(7, 0.0, &graymap);
    const Widening w = WideningAroundGraymap(wide, Cropped(graymap).data(), 28, 18, 25, 24, FillRule());
    EXPECT_EQ(w.Reach(), 8);
    EXPECT_GE(w.Outward(), 5);
}

}  // namespace

namespace {

FoundSubtitle Flat(int64_t first, int64_t last, int x, int radius) {
    FoundSubtitle f;
    f.first = first, f.last = last;
    f.shape.text = true;
    f.shape.x = x, f.shape.y = 10, f.shape.width = 2, f.shape.height = 1;
    f.shape.graymap = {255, 0};
    f.shape.widening = Widening{radius, 0};
    return f;
}

// Guards: two subtitles on screen together written as overlapping entries, of which the module
// would show only the first.
TEST(Timeline, OverlapsBecomeOneEntryPerFrame) {
    const std::vector<FoundSubtitle> out = OneSubtitlePerFrame({Flat(0, 9, 0, 2), Flat(5, 14, 10, 3)});
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].first, 0);
    EXPECT_EQ(out[0].last, 4);
    EXPECT_EQ(out[1].first, 5);
    EXPECT_EQ(out[1].last, 9);
    EXPECT_EQ(out[1].shape.width, 12);
    EXPECT_EQ(out[1].shape.graymap[0], 255);
    EXPECT_EQ(out[1].shape.graymap[10], 255);
    EXPECT_EQ(out[1].shape.widening.radius, 3);
    EXPECT_EQ(out[2].first, 10);
    EXPECT_EQ(out[2].last, 14);
    // Back to back without overlap: untouched.
    EXPECT_EQ(OneSubtitlePerFrame({Flat(0, 9, 0, 2), Flat(10, 19, 0, 2)}).size(), 2u);
}

}  // namespace
