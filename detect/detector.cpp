// The subtitle detector: one pass over the film's luma, at half size for finding and timing, at
// full size only inside the places found.
//
// A burnt-in subtitle is a set of strong local contrasts (a light fill beside its dark outline,
// or dark glyphs in a light box) that stays exactly still, to the luma level, while the film moves
// under it, and that appears and disappears at once. So, per frame, on the luma halved in both
// directions (a quarter of the pixels):
// 1. Contrast pixels: light ones, at least `contrast` above the darkest pixel within 3 (6 in the
//    picture) and within the fill's luma range; dark ones, as far below the lightest. Two 7x7
//    morphology passes (erosion, dilation) and a few comparisons.
// 2. Age: how many frames a contrast pixel has kept its luma (within a few levels) and stayed a
//    contrast pixel. A pixel that changes, or was not a contrast pixel before, starts again at 0; so the age of a subtitle's pixels
//    counts the frames since it appeared, whatever happens around them (a scene cut keeps the
//    subtitle's pixels, and with them its age).
// 3. Birth: pixels of age 8 or more that no subtitle in progress holds are joined (a 15x7
//    dilation joins the glyphs of a line and the lines of a subtitle) into components; each is a
//    new subtitle in progress, whose first frame is now minus the median age of its pixels: exact,
//    though it is known only 8 frames later. Its pixels and their luma are its signature.
// 4. Presence: each frame, a subtitle in progress whose signature pixels are no longer there (fewer
//    than half are contrast pixels with their luma) ended at the frame before: exact as well. A
//    new text in the same place (no gap) ends the old one at once and is born 8 frames later with
//    the right first frame.
// 5. While a subtitle is in progress, the lowest and highest luma of every full-size pixel around
//    it are gathered (a LumaSpan); when it ends, subtitle_shape.cpp makes its graymap and decides
//    whether it is text at all (thin glyph strokes, an outline or a box) and how long it lasted
//    (0.6 to 12 s: static logos and signs last longer; still picture that passes for text for a
//    moment, shorter). Parts of one subtitle born apart (the two lines of one subtitle, a word
//    held back by something that was there before) within the frames of the longest are merged.
// Things that move with the picture (signs, windows, credits that roll) or flicker (specular
// highlights) never keep their luma for 8 frames, and so are never born.
// Text of other styles (no outline, a soft shadow, any colour) comes from the lines a learned
// text detector finds on sampled frames (line_tracks.h); what it finds that this pass found too
// is this pass's.
// Cost per frame at 720x576: the halving, two morphology passes and about ten byte-wise passes
// over 360x288, plus a component labelling only in frames where something new is old enough, and
// the span's min/max over the places of subtitles in progress. Memory: seven half-size planes and
// one pair of planes per subtitle in progress (at most 32 of them), whatever the film's length.
#include "detect/detector.h"
#include "detect/fade.h"
#include "detect/line_tracks.h"
#include "detect/timeline.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <opencv2/imgproc.hpp>

namespace {

// Frames a contrast pixel keeps its luma before it may be a subtitle's.
constexpr int kBirthAge = 8;
// Luma a still pixel may drift from one frame to the next (coding noise), and from its signature.
constexpr int kStillDrift = 10;
constexpr int kSignatureDrift = 18;
constexpr int kMaxInProgress = 32;
// The longest fade followed at either end of a subtitle, in seconds.
constexpr double kMaxFadeSeconds = 1.0;
// Pixels (half size) a new subtitle needs.
constexpr int kMinBirthPixels = 12;
// The picture around a subtitle in progress that its span gathers (full size).
constexpr int kSpanMargin = 16;

// The place a subtitle in progress holds: its box, with room for glyphs found a little later.
cv::Rect Held(const cv::Rect &half) { return cv::Rect(half.x - 8, half.y - 4, half.width + 16, half.height + 8); }

struct InProgress {
    int64_t first = 0;
    cv::Rect half;                 // its pixels' bounding box in the halved picture
    std::vector<int> signature;    // indices into the halved planes
    std::vector<uint8_t> luma;     // their luma at birth
    LumaSpan span;
    FadeProbe fade;                // its opacity, from the same pixels
    int fadeIn = 0;                // frames before its steady first where it was fading in
    // Until settled, pixels that come of age in its place join it: a fading subtitle's pixels
    // become steady at different frames (an outline over a dark picture long before the fill).
    bool settled = false;
    int64_t grew = 0;              // the last frame it took pixels
};

// A subtitle whose signature went: fading out, or still there in full while the picture around
// its glyphs changed (fade.h tells which); it ends when its opacity stops falling.
struct Fading {
    InProgress subtitle;
    int64_t last;  // its last steady frame
    FadeFollower follower;
};

}  // namespace

struct SubtitleDetector::State {
    int width, height;
    DetectSettings settings;
    cv::Mat luma, previous, age, contrast, previousContrast, eroded, dilated, scratch;
    cv::Mat lightMask, darkMask;
    cv::Mat joined, labels, stats, centroids;  // births' labelling, kept so that frames allocate nothing
    int64_t frame = 0;  // the number of the next frame
    std::vector<InProgress> active;
    std::vector<Fading> fading;
    std::vector<cv::Mat> history;  // the last halved lumas, for the frames of a fade-in
    int maxFadeFrames = 0;
    std::vector<FoundSubtitle> found;
    std::unique_ptr<LineTracker> lines;  // when text lines are proposed
    cv::Mat joinKernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(15, 7));
    cv::Mat contrastKernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(7, 7));

    void FindContrast();
    void UpdateAge();
    void CheckPresence(const uint8_t *fullLuma, std::ptrdiff_t stride);
    void FollowFades();
    void Grow(InProgress &subtitle);
    void Settle(InProgress &subtitle);
    int64_t FadeInStart(const FadeProbe &probe, int64_t first, int *fadeIn) const;
    void FindBirths(const uint8_t *fullLuma, std::ptrdiff_t stride);
    void Born(int label, const cv::Rect &box, const uint8_t *fullLuma, std::ptrdiff_t stride);
    void End(InProgress &subtitle, int64_t last, int fadeOut = 0);
    std::vector<FoundSubtitle> Merged();
};

SubtitleDetector::SubtitleDetector(int width, int height, const DetectSettings &settings) : state_(new State) {
    State &s = *state_;
    s.width = width;
    s.height = height;
    s.settings = settings;
    const cv::Size half(std::max(1, width / 2), std::max(1, height / 2));
    for (cv::Mat *m : {&s.luma, &s.previous, &s.age, &s.contrast, &s.previousContrast, &s.eroded, &s.dilated, &s.scratch, &s.lightMask, &s.darkMask})
        *m = cv::Mat::zeros(half, CV_8U);
    const double fps = settings.framesPerSecond > 0 ? settings.framesPerSecond : 25;
    s.maxFadeFrames = (int)std::ceil(kMaxFadeSeconds * fps);
    s.history.resize((size_t)(s.maxFadeFrames + 4 * kBirthAge));
    for (cv::Mat &m : s.history) m = cv::Mat::zeros(half, CV_8U);
    if (settings.proposalInterval > 0) {
        s.lines = std::make_unique<LineTracker>(width, height, settings.proposalInterval, settings.framesPerSecond,
                                                settings.minSeconds, settings.maxSeconds);
    }
}

SubtitleDetector::~SubtitleDetector() = default;

void SubtitleDetector::State::FindContrast() {
    const FillRule &fill = settings.fill;
    cv::erode(luma, eroded, contrastKernel);
    cv::dilate(luma, dilated, contrastKernel);
    // Light: within the fill's range and well above the darkest neighbour.
    cv::subtract(luma, eroded, scratch);
    cv::compare(scratch, settings.contrast, contrast, cv::CMP_GE);
    cv::inRange(luma, fill.lightLow, fill.lightHigh, lightMask);
    contrast &= lightMask;
    // Dark: dark enough and well below the lightest neighbour.
    cv::subtract(dilated, luma, scratch);
    cv::compare(scratch, settings.contrast, darkMask, cv::CMP_GE);
    cv::compare(luma, fill.darkHigh, lightMask, cv::CMP_LE);
    darkMask &= lightMask;
    contrast |= darkMask;
    // Outside the band nothing is looked at.
    const int rows = contrast.rows;
    const int top = rows * settings.regionTop / 100, bottom = rows * settings.regionBottom / 100;
    if (top > 0) contrast.rowRange(0, std::min(top, rows)).setTo(0);
    if (bottom < rows) contrast.rowRange(std::max(bottom, 0), rows).setTo(0);
}

void SubtitleDetector::State::UpdateAge() {
    for (int r = 0; r < luma.rows; ++r) {
        const uint8_t *l = luma.ptr<uint8_t>(r), *p = previous.ptr<uint8_t>(r), *c = contrast.ptr<uint8_t>(r);
        const uint8_t *pc = previousContrast.ptr<uint8_t>(r);
        uint8_t *a = age.ptr<uint8_t>(r);
        for (int x = 0; x < luma.cols; ++x) {
            // A contrast pixel now and before, with its luma: a subtitle's fill over a picture of
            // the same luma (white text on a white sky) starts its age when its outline comes.
            const bool still = c[x] && pc[x] && std::abs(l[x] - p[x]) <= kStillDrift;
            a[x] = still ? (uint8_t)(a[x] + (a[x] < 255)) : 0;
        }
    }
}

void SubtitleDetector::State::CheckPresence(const uint8_t *fullLuma, std::ptrdiff_t stride) {
    const uint8_t *l = luma.ptr<uint8_t>(0), *c = contrast.ptr<uint8_t>(0);
    for (size_t i = 0; i < active.size();) {
        InProgress &subtitle = active[i];
        size_t there = 0;
        for (size_t k = 0; k < subtitle.signature.size(); ++k) {
            const int at = subtitle.signature[k];
            there += c[at] && std::abs(l[at] - subtitle.luma[k]) <= kSignatureDrift;
        }
        if (!subtitle.settled) Grow(subtitle);
        if (there * 2 < subtitle.signature.size()) {
            // What stays of it (an outline the next text shares) is as new as the next text.
            if (!subtitle.settled) Settle(subtitle);
            age(Held(subtitle.half) & cv::Rect(0, 0, age.cols, age.rows)).setTo(0);
            Fading f{std::move(subtitle), frame - 1, FadeFollower(maxFadeFrames)};
            if (f.subtitle.fade.Usable() && f.follower.Step(f.subtitle.fade, l)) {
                fading.push_back(std::move(f));
            } else {
                f.follower.Stop();
                End(f.subtitle, f.last + f.follower.Frames(), f.follower.Faded());
            }
            active.erase(active.begin() + (std::ptrdiff_t)i);
            continue;
        }
        subtitle.span.Add(fullLuma, stride);
        ++i;
    }
}

// A subtitle not yet settled takes the contrast pixels of age in its place; it settles once none
// came for kBirthAge frames (or after the longest fade), with its first frame from its pixels' ages
// and the frames it faded in before that.
// Only pixels that came after the subtitle did (the picture's steady pixels are older) and lie
// within the joining reach of its pixels (as a birth joins glyphs) join.
void SubtitleDetector::State::Grow(InProgress &subtitle) {
    const cv::Rect place = Held(subtitle.half) & cv::Rect(0, 0, age.cols, age.rows);
    cv::Mat own = cv::Mat::zeros(place.size(), CV_8U), near;
    for (int at : subtitle.signature) {
        const cv::Point p(at % luma.cols, at / luma.cols);
        if (place.contains(p)) own.at<uint8_t>(p - place.tl()) = 255;
    }
    cv::dilate(own, near, joinKernel);
    const int oldest = (int)std::min<int64_t>(255, frame - subtitle.first + 1);
    int x0 = subtitle.half.x, y0 = subtitle.half.y, x1 = subtitle.half.br().x - 1, y1 = subtitle.half.br().y - 1;
    for (int r = place.y; r < place.br().y; ++r) {
        const uint8_t *a = age.ptr<uint8_t>(r), *l = luma.ptr<uint8_t>(r);
        const uint8_t *n = near.ptr<uint8_t>(r - place.y), *o = own.ptr<uint8_t>(r - place.y);
        for (int x = place.x; x < place.br().x; ++x) {
            const int at = r * luma.cols + x;
            if (a[x] < kBirthAge || a[x] > oldest || !n[x - place.x] || o[x - place.x]) continue;
            subtitle.signature.push_back(at);
            subtitle.luma.push_back(l[x]);
            subtitle.grew = frame;
            x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, r), y1 = std::max(y1, r);
        }
    }
    if (subtitle.grew == frame && cv::Rect(x0, y0, x1 - x0 + 1, y1 - y0 + 1) != subtitle.half) {
        subtitle.half = cv::Rect(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
        const int left = std::max(0, 2 * x0 - kSpanMargin), top = std::max(0, 2 * y0 - kSpanMargin);
        const int right = std::min(width, 2 * (x1 + 1) + kSpanMargin), bottom = std::min(height, 2 * (y1 + 1) + kSpanMargin);
        subtitle.span.Reset(left, top, right - left, bottom - top);  // gathered again from here, at its full size
    }
    if (frame - subtitle.grew >= kBirthAge || frame - subtitle.first >= maxFadeFrames + kBirthAge) Settle(subtitle);
}

void SubtitleDetector::State::Settle(InProgress &subtitle) {
    subtitle.settled = true;
    std::vector<uint8_t> ages;
    for (int at : subtitle.signature) ages.push_back(age.ptr<uint8_t>(0)[at]);
    std::nth_element(ages.begin(), ages.begin() + ages.size() / 2, ages.end());
    if (ages[ages.size() / 2] >= kBirthAge) subtitle.first = frame - ages[ages.size() / 2];
    subtitle.fade = MakeFadeProbe(subtitle.signature, subtitle.luma, luma.cols);
    subtitle.first = FadeInStart(subtitle.fade, subtitle.first, &subtitle.fadeIn);
}

// Each subtitle fading out (or held without its signature) takes this frame while its opacity
// lets it; otherwise it ends at the last frame it took.
void SubtitleDetector::State::FollowFades() {
    for (size_t i = 0; i < fading.size();) {
        Fading &f = fading[i];
        if (f.follower.Step(f.subtitle.fade, luma.ptr<uint8_t>(0))) {
            ++i;
            continue;
        }
        End(f.subtitle, f.last + f.follower.Frames(), f.follower.Faded());
        fading.erase(fading.begin() + (std::ptrdiff_t)i);
    }
}

// The first frame of a subtitle that came in at `first` with its steady pixels, back through the
// frames kept while it was fading in.
int64_t SubtitleDetector::State::FadeInStart(const FadeProbe &probe, int64_t first, int *fadeIn) const {
    if (!probe.Usable()) return first;
    const int64_t kept = (int64_t)history.size();
    FadeFollower follower(maxFadeFrames);
    for (int64_t f = first - 1; f >= 0 && frame - f < kept; --f)
        if (!follower.Step(probe, history[(size_t)(f % kept)].ptr<uint8_t>(0))) break;
    follower.Stop();
    *fadeIn = follower.Faded();
    return first - follower.Frames();
}

void SubtitleDetector::State::Born(int label, const cv::Rect &box, const uint8_t *fullLuma,
                                   std::ptrdiff_t stride) {
    InProgress subtitle;
    std::vector<uint8_t> ages;
    int x0 = box.x + box.width, y0 = box.y + box.height, x1 = box.x, y1 = box.y;
    for (int r = box.y; r < box.y + box.height; ++r) {
        const int *lab = labels.ptr<int>(r);
        const uint8_t *a = age.ptr<uint8_t>(r), *l = luma.ptr<uint8_t>(r);
        for (int x = box.x; x < box.x + box.width; ++x) {
            if (lab[x] != label || a[x] < kBirthAge) continue;
            subtitle.signature.push_back(r * luma.cols + x);
            subtitle.luma.push_back(l[x]);
            ages.push_back(a[x]);
            x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, r), y1 = std::max(y1, r);
        }
    }
    if ((int)ages.size() < kMinBirthPixels) return;
    std::nth_element(ages.begin(), ages.begin() + ages.size() / 2, ages.end());
    subtitle.first = frame - ages[ages.size() / 2];
    subtitle.grew = frame;
    subtitle.half = cv::Rect(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
    const int left = std::max(0, 2 * x0 - kSpanMargin), top = std::max(0, 2 * y0 - kSpanMargin);
    const int right = std::min(width, 2 * (x1 + 1) + kSpanMargin), bottom = std::min(height, 2 * (y1 + 1) + kSpanMargin);
    subtitle.span.Reset(left, top, right - left, bottom - top);
    subtitle.span.Add(fullLuma, stride);
    active.push_back(std::move(subtitle));
}

void SubtitleDetector::State::FindBirths(const uint8_t *fullLuma, std::ptrdiff_t stride) {
    cv::compare(age, kBirthAge - 1, scratch, cv::CMP_GT);
    for (const InProgress &subtitle : active) scratch(Held(subtitle.half) & cv::Rect(0, 0, scratch.cols, scratch.rows)).setTo(0);
    for (const Fading &f : fading) scratch(Held(f.subtitle.half) & cv::Rect(0, 0, scratch.cols, scratch.rows)).setTo(0);
    if (cv::countNonZero(scratch) < kMinBirthPixels || (int)active.size() >= kMaxInProgress) return;
    cv::dilate(scratch, joined, joinKernel);
    const int n = cv::connectedComponentsWithStats(joined, labels, stats, centroids, 8, CV_32S);
    for (int i = 1; i < n && (int)active.size() < kMaxInProgress; ++i) {
        const cv::Rect box(stats.at<int>(i, cv::CC_STAT_LEFT), stats.at<int>(i, cv::CC_STAT_TOP),
                           stats.at<int>(i, cv::CC_STAT_WIDTH), stats.at<int>(i, cv::CC_STAT_HEIGHT));
        if (stats.at<int>(i, cv::CC_STAT_AREA) >= kMinBirthPixels) Born(i, box, fullLuma, stride);
    }
}

void SubtitleDetector::State::End(InProgress &subtitle, int64_t last, int fadeOut) {
    const double fps = settings.framesPerSecond > 0 ? settings.framesPerSecond : 25;
    const int64_t frames = last - subtitle.first + 1;
    const bool lowerBand = 2 * luma.rows <= 3 * (subtitle.half.y + subtitle.half.height / 2);
    const double minFrames = std::max<double>(kBirthAge, settings.minSeconds * fps);
    if (frames < minFrames || frames > settings.maxSeconds * fps) return;
    FoundSubtitle f;
    f.first = subtitle.first;
    f.last = last;
    f.fadeIn = subtitle.fadeIn;
    f.fadeOut = fadeOut;
    f.shape = ShapeSubtitle(subtitle.span, settings.fill, lowerBand);
    if (f.shape.text) found.push_back(std::move(f));
}

void SubtitleDetector::AddTextLines(int64_t frame, const std::vector<Box> &lines) {
    State &s = *state_;
    if (!s.lines) return;
    const int top = s.height * s.settings.regionTop / 100, bottom = s.height * s.settings.regionBottom / 100;
    std::vector<Box> inBand;
    for (const Box &b : lines)
        if (b.y + b.height / 2 >= top && b.y + b.height / 2 < bottom) inBand.push_back(b);
    s.lines->AddTextLines(frame, inBand);
}

void SubtitleDetector::AddFrame(const uint8_t *luma, std::ptrdiff_t stride) {
    State &s = *state_;
    if (s.lines) s.lines->AddFrame(luma, stride);
    std::swap(s.luma, s.previous);
    std::swap(s.contrast, s.previousContrast);
    const cv::Mat full(s.height, s.width, CV_8U, const_cast<uint8_t *>(luma), (size_t)stride);
    cv::resize(full, s.luma, s.luma.size(), 0, 0, cv::INTER_AREA);
    s.FindContrast();
    if (s.frame == 0) s.luma.copyTo(s.previous);
    s.UpdateAge();
    if (s.frame == 0) s.age.setTo(0);
    s.luma.copyTo(s.history[(size_t)(s.frame % (int64_t)s.history.size())]);
    s.FollowFades();
    s.CheckPresence(luma, stride);
    s.FindBirths(luma, stride);
    ++s.frame;
}

std::vector<SubtitleDetector::Box> SubtitleDetector::ActiveBoxes() const {
    std::vector<Box> boxes;
    for (const InProgress &subtitle : state_->active)
        boxes.push_back({2 * subtitle.half.x, 2 * subtitle.half.y, 2 * subtitle.half.width, 2 * subtitle.half.height});
    return boxes;
}

namespace {

void MergeInto(FoundSubtitle &into, const FoundSubtitle &other) {
    into.shape = UniteShapes({&into.shape, &other.shape});
    if (other.first <= into.first) into.fadeIn = other.first < into.first ? other.fadeIn : std::max(into.fadeIn, other.fadeIn);
    if (other.last >= into.last) into.fadeOut = other.last > into.last ? other.fadeOut : std::max(into.fadeOut, other.fadeOut);
    into.first = std::min(into.first, other.first);
    into.last = std::max(into.last, other.last);
}

// Parts of one subtitle (`a` the longer): near one another, and within the longer one's frames
// give or take one. A part may start late (its glyphs were held back while something else was on
// screen there, and their age restarted when that ended) or end early (a piece of still picture
// beside the text that the text outlasts).
bool SameSubtitle(const FoundSubtitle &a, const FoundSubtitle &b) {
    if (b.first < a.first - 1 || b.last > a.last + 1) return false;
    // Near one another: lines of one subtitle lie within a line's height.
    const int gap = std::max(a.shape.y, b.shape.y) - std::min(a.shape.y + a.shape.height, b.shape.y + b.shape.height);
    return gap <= std::max(a.shape.height, b.shape.height);
}

}  // namespace

std::vector<FoundSubtitle> SubtitleDetector::State::Merged() {
    std::vector<FoundSubtitle> out;
    // Longest first, so that parts born late join the whole rather than one another.
    std::stable_sort(found.begin(), found.end(), [](const FoundSubtitle &a, const FoundSubtitle &b) {
        return a.last - a.first > b.last - b.first;
    });
    for (FoundSubtitle &f : found) {
        auto same = std::find_if(out.begin(), out.end(), [&](const FoundSubtitle &o) { return SameSubtitle(o, f); });
        if (same != out.end()) MergeInto(*same, f);
        else out.push_back(std::move(f));
    }
    std::sort(out.begin(), out.end(), [](const FoundSubtitle &a, const FoundSubtitle &b) {
        return a.first != b.first ? a.first < b.first : a.shape.y < b.shape.y;
    });
    return out;
}

static cv::Rect Place(const FoundSubtitle &f) { return cv::Rect(f.shape.x, f.shape.y, f.shape.width, f.shape.height); }

// Whether two found subtitles are one: on screen together for most of the shorter one's frames,
// and in one place.
static bool SameFind(const FoundSubtitle &a, const FoundSubtitle &b) {
    const int64_t together = std::min(a.last, b.last) - std::max(a.first, b.first) + 1;
    const int64_t shorter = std::min(a.last - a.first, b.last - b.first) + 1;
    const cv::Rect ra = Place(a), rb = Place(b);
    return 2 * together > shorter && (ra & rb).area() * 2 > std::min(ra.area(), rb.area());
}

// This pass's find is kept over a proposed line's when it is the whole line at the same frames,
// with both masks in its graymap. It gives way to a line's that covers it (this
// pass saw only a part of the text, or of its frames); otherwise both stay, and are united.
static bool Covers(const FoundSubtitle &a, const FoundSubtitle &b) {
    return (Place(a) & Place(b)).area() * 5 >= Place(b).area() * 4;
}

// Whether more than 1 % of `line`'s graymap lies beyond the reach of `own`'s widened graymap.
static bool ReachesPast(const FoundSubtitle &line, const FoundSubtitle &own) {
    const SubtitleShape &o = own.shape, &l = line.shape;
    const int grow = std::max(0, o.widening.Reach());
    const std::vector<uint8_t> grown = GrowGraymap(o.graymap.data(), o.width, o.height, grow);
    const int gx = o.x - grow, gy = o.y - grow, gw = o.width + 2 * grow, gh = o.height + 2 * grow;
    size_t outside = 0, total = 0;
    for (int r = 0; r < l.height; ++r) {
        for (int c = 0; c < l.width; ++c) {
            if (!l.graymap[(size_t)r * l.width + c]) continue;
            ++total;
            const int x = l.x + c - gx, y = l.y + r - gy;
            outside += x < 0 || y < 0 || x >= gw || y >= gh || !grown[(size_t)y * gw + x];
        }
    }
    return outside * 100 > total;
}

// One place shows one text at a time: where a subtitle's fade-out and the next one's fade-in in
// the same place overlap, though their steady frames do not meet, each was misread from the
// other's glyphs (a new text without a gap blends nothing), and the steady frames decide. Real
// cross-fades, whose fades reach past the other's steady frames, stay overlapped.
static void SeparateInPlace(std::vector<FoundSubtitle> &found) {
    for (size_t i = 0; i < found.size(); ++i) {
        for (size_t j = 0; j < found.size(); ++j) {
            FoundSubtitle &a = found[i], &b = found[j];
            const cv::Rect ra = Place(a), rb = Place(b);
            if (i == j || a.first >= b.first || a.last < b.first || (ra & rb).area() * 2 <= std::min(ra.area(), rb.area())) continue;
            const int64_t steadyLast = a.last - a.fadeOut, steadyFirst = b.first + b.fadeIn;
            if (steadyLast >= steadyFirst) continue;
            const int64_t last = std::min(a.last, steadyFirst - 1), first = std::max(b.first, steadyLast + 1);
            a.fadeOut = (int)std::max<int64_t>(0, a.fadeOut - (a.last - last));
            b.fadeIn = (int)std::max<int64_t>(0, b.fadeIn - (first - b.first));
            a.last = last, b.first = first;
        }
    }
}

static bool OwnFindHolds(const FoundSubtitle &own, const FoundSubtitle &line) {
    return std::abs(own.first - line.first) <= 1 && std::abs(own.last - line.last) <= 1 && Covers(own, line);
}

std::vector<FoundSubtitle> SubtitleDetector::Finish() {
    State &s = *state_;
    for (InProgress &subtitle : s.active) s.End(subtitle, s.frame - 1);
    for (Fading &f : s.fading) {
        f.follower.Stop();
        s.End(f.subtitle, f.last + f.follower.Frames(), f.follower.Faded());
    }
    s.active.clear();
    s.fading.clear();
    if (s.lines) {
        std::vector<FoundSubtitle> own = std::move(s.found), lines = s.lines->Finish();
        s.found.clear();
        for (FoundSubtitle &line : lines) {
            bool held = false;
            for (auto it = own.begin(); it != own.end();) {
                if (!SameFind(*it, line)) ++it;
                else if (OwnFindHolds(*it, line)) {
                    // Its timing; and the union of both masks where the line's damage reaches past
                    // the outline's widening (a soft or translucent shadow).
                    if (ReachesPast(line, *it)) it->shape = UniteShapes({&it->shape, &line.shape});
                    held = true, ++it;
                }
                else if (Covers(line, *it)) it = own.erase(it);
                else ++it;  // each holds what the other lacks (another line of the subtitle): both stay
            }
            if (!held) s.found.push_back(std::move(line));
        }
        for (FoundSubtitle &f : own) s.found.push_back(std::move(f));
    }
    std::vector<FoundSubtitle> out = s.Merged();
    SeparateInPlace(out);
    s.found.clear();
    return out;
}
