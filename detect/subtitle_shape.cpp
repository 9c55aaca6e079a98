// The shape of one found subtitle, from the lowest and highest luma of each pixel around it over
// its frames (a LumaSpan).
//
// A burnt-in subtitle is the part of the picture that does not change while the film moves under
// it: its pixels are "steady" (highest minus lowest luma small). Among them:
// - light text: the fill is steady and light, the outline or shadow steady and dark;
// - dark text on a light box: the box is a solid steady light block and the fill the steady dark
//   pixels inside it.
// Steady light parts that reach the edge of the span are flat picture (sky, a wall), not the
// subtitle. Which of the two it is: the largest steady light component filling most of its
// bounding box is a box (glyph strokes fill a fifth to a third of theirs).
// Text or not: at least two glyph components (not long streaks) in at most three lines, thin
// strokes (an erosion by nearly half the glyph height leaves almost nothing of text, half of a
// solid logo), and for light text a dark outline or shadow on a good part of the ring around the
// fill.
// The widening: the damage is the fill, the anti-aliasing, and the outline or shadow (steady and
// dark) or the box (steady and light). Rings of the fill's Chebyshev distance transform are
// the subtitle's while a good share of each is outline-like (or, for a shadow's one-sided ring,
// clearly more than the picture's own share); at the outline's partly covered outer edge
// "steady" allows half the picture's own variation there. The widening reaches exactly that far
// (detect/widening.h): the module's radius r reaches r (r + 1) / 2 pixels, a graymap grown by a
// few pixels first fills in between, and both stay within the graymap's rectangle widened by
// them; the graymap keeps a clear border around the fill as wide as the damage reaches
// (2 pixels at least, as the recognition tool's), so that the widening is not cut short at the
// text's edge. For graymaps written elsewhere the widening must carry the outline past their own
// border.
// Cost: a handful of OpenCV passes (threshold, erosion, components, one distance transform) over
// the span, once per subtitle: well under a millisecond for a two-line subtitle at 720x576.
#include "detect/subtitle_shape.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace {

// Steady pixels further than this from the fill are not the subtitle's.
constexpr int kDamageReachLimit = 15;
// The rings of the picture itself around a subtitle, past any outline or shadow.
constexpr int kPictureRingFirst = 9, kPictureRingLast = 14;
// Clear pixels around the fill in a graymap, at least, as the recognition tool leaves them: the
// module widens only within the graymap's rectangle widened by the radius.
constexpr int kGraymapBorder = 2;
// The outline is at most this luma.
constexpr int kOutlineHigh = 110;

cv::Mat Plane(const LumaSpan &span, const std::vector<uint8_t> &v) {
    return cv::Mat(span.height, span.width, CV_8U, const_cast<uint8_t *>(v.data()));
}

// Drops components smaller than `minArea` pixels; returns how many are left and their median
// height, and in `medianWidth` their median width.
int KeepComponents(cv::Mat &mask, int minArea, int *medianHeight, int *medianWidth) {
    cv::Mat labels, stats, centroids;
    const int n = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
    std::vector<int> heights, widths;
    std::vector<uint8_t> keep((size_t)n, 0);
    for (int i = 1; i < n; ++i) {
        if (stats.at<int>(i, cv::CC_STAT_AREA) < minArea) continue;
        keep[(size_t)i] = 1;
        heights.push_back(stats.at<int>(i, cv::CC_STAT_HEIGHT));
        widths.push_back(stats.at<int>(i, cv::CC_STAT_WIDTH));
    }
    for (int r = 0; r < mask.rows; ++r) {
        const int *l = labels.ptr<int>(r);
        uint8_t *m = mask.ptr<uint8_t>(r);
        for (int c = 0; c < mask.cols; ++c) m[c] = keep[(size_t)l[c]] ? 255 : 0;
    }
    if (heights.empty()) {
        *medianHeight = *medianWidth = 0;
        return 0;
    }
    std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
    *medianHeight = heights[heights.size() / 2];
    std::nth_element(widths.begin(), widths.begin() + widths.size() / 2, widths.end());
    *medianWidth = widths[widths.size() / 2];
    return (int)heights.size();
}

// Drops the components that reach the span's edge: the span reaches well past the subtitle, so
// they are flat picture (a sky, a wall) that stays as still as the subtitle does.
void DropEdgeComponents(cv::Mat &mask) {
    cv::Mat labels;
    const int n = cv::connectedComponents(mask, labels, 8, CV_32S);
    std::vector<uint8_t> edge((size_t)n, 0);
    for (int r = 0; r < mask.rows; ++r) {
        const int *l = labels.ptr<int>(r);
        if (r == 0 || r == mask.rows - 1) {
            for (int c = 0; c < mask.cols; ++c) edge[(size_t)l[c]] = 1;
        } else {
            edge[(size_t)l[0]] = edge[(size_t)l[mask.cols - 1]] = 1;
        }
    }
    edge[0] = 0;
    for (int r = 0; r < mask.rows; ++r) {
        const int *l = labels.ptr<int>(r);
        uint8_t *m = mask.ptr<uint8_t>(r);
        for (int c = 0; c < mask.cols; ++c)
            if (edge[(size_t)l[c]]) m[c] = 0;
    }
}

// The bounding box of the largest steady light component, when it fills most of it: a box.
bool FindBox(const cv::Mat &steadyLight, cv::Rect *box) {
    cv::Mat labels, stats, centroids;
    const int n = cv::connectedComponentsWithStats(steadyLight, labels, stats, centroids, 8, CV_32S);
    int best = 0, bestArea = 0;
    for (int i = 1; i < n; ++i) {
        if (stats.at<int>(i, cv::CC_STAT_AREA) > bestArea) bestArea = stats.at<int>(i, cv::CC_STAT_AREA), best = i;
    }
    if (best == 0 || bestArea < 400) return false;
    *box = cv::Rect(stats.at<int>(best, cv::CC_STAT_LEFT), stats.at<int>(best, cv::CC_STAT_TOP),
                    stats.at<int>(best, cv::CC_STAT_WIDTH), stats.at<int>(best, cv::CC_STAT_HEIGHT));
    return bestArea >= 0.6 * box->area();
}

// Glyphs of text sit in lines: nearly all of the fill lies in at most three rows of components
// whose centres are within half a glyph height of one another, each row two glyphs or more.
// Textures of a still picture (grass, foliage) scatter.
bool InLines(const cv::Mat &fill, int glyphHeight) {
    cv::Mat labels, stats, centroids;
    const int n = cv::connectedComponentsWithStats(fill, labels, stats, centroids, 8, CV_32S);
    std::vector<std::pair<double, int>> glyphs;  // centre row, area
    int total = 0;
    for (int i = 1; i < n; ++i) {
        const int area = stats.at<int>(i, cv::CC_STAT_AREA);
        glyphs.emplace_back(centroids.at<double>(i, 1), area);
        total += area;
    }
    int inLines = 0;
    for (int line = 0; line < 3 && !glyphs.empty(); ++line) {
        size_t best = 0, bestCount = 0;
        for (size_t i = 0; i < glyphs.size(); ++i) {
            size_t count = 0;
            for (const auto &g : glyphs) count += std::abs(g.first - glyphs[i].first) <= 0.5 * glyphHeight;
            if (count > bestCount) bestCount = count, best = i;
        }
        if (bestCount < 2) break;
        const double centre = glyphs[best].first;
        for (size_t i = glyphs.size(); i-- > 0;) {
            if (std::abs(glyphs[i].first - centre) > 0.5 * glyphHeight) continue;
            inLines += glyphs[i].second;
            glyphs.erase(glyphs.begin() + (std::ptrdiff_t)i);
        }
    }
    return inLines >= 0.85 * total;
}

// Thin strokes: an erosion by nearly half the glyph height leaves little (bold strokes are a
// third of a small letter's height at most), but half of a solid logo.
bool ThinStrokes(const cv::Mat &fill, int glyphHeight) {
    const int k = std::max(3, (glyphHeight * 9 / 20) | 1);
    cv::Mat eroded;
    cv::erode(fill, eroded, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(k, k)));
    return cv::countNonZero(eroded) <= 0.15 * cv::countNonZero(fill);
}

// Light text has a dark steady outline or shadow on a good part of the ring around its fill.
bool HasOutline(const cv::Mat &fill, const cv::Mat &steady, const cv::Mat &high) {
    cv::Mat ring, dark;
    cv::dilate(fill, ring, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5)));
    ring &= ~fill;
    cv::compare(high, kOutlineHigh, dark, cv::CMP_LE);
    dark &= steady;
    dark &= ring;
    const int ringCount = cv::countNonZero(ring);
    return ringCount > 0 && cv::countNonZero(dark) >= 0.15 * ringCount;
}

// How far (Chebyshev pixels; `distance` is the fill's transform) the damage reaches from the fill:
// rings at distance 2, 3, ... are the subtitle's while the share of each that looks like it
// (`like`: steady and dark for an outline or shadow, steady and light for a box) stays at least
// half the largest share and a fifth; one ring more for the outer anti-aliasing, which blends with
// the moving picture and so is never steady. Ring 1, the inner anti-aliasing, is the subtitle's
// whatever its colour. Ring by ring, a patch of still picture beside the text adds little to any
// ring, and a dark still picture all around (a night sky) stays well under the outline's share.
// Steady has two measures. The largest share is of the strictly steady pixels (`like`): the opaque
// outline varies by the coding noise alone. The outline's outer edge lies part way into a ring, and
// there each pixel mixes the outline with the moving picture, so it varies by the picture's own
// motion times the part not covered; such a ring counts when the share of `edgeLike`, which allows
// half the picture's usual variation (and so holds all of `like`), reaches the same bar. Without it
// a 3-pixel outline over textured sand (its third ring 60 % covered, yet only 40 % strictly steady)
// got radius 2 and left its outer anti-aliasing, 2 % of the damage.
// A shadow, or an outline's far edge, darkens only one side of its ring, so that ring's share
// stays under half the largest; it still counts while it is a fifth at least and stands a tenth
// above the picture's own share (the rings 9 to 14 pixels out, past any outline or shadow): a 2-pixel
// shadow's last ring is a fifth to a third dark over a picture with none, and a dark still picture
// all around raises the bar with it. Left out, such a ring left 2 % of a shadowed subtitle's damage.
int DamageReach(const cv::Mat &distance, const cv::Mat &like, const cv::Mat &edgeLike) {
    int ring[kDamageReachLimit + 1] = {}, alike[kDamageReachLimit + 1] = {}, edge[kDamageReachLimit + 1] = {};
    for (int r = 0; r < distance.rows; ++r) {
        const float *d = distance.ptr<float>(r);
        const uint8_t *l = like.ptr<uint8_t>(r), *e = edgeLike.ptr<uint8_t>(r);
        for (int c = 0; c < distance.cols; ++c) {
            const int k = (int)std::lround(d[c]);
            if (k < 1 || k > kDamageReachLimit) continue;
            ++ring[k];
            alike[k] += l[c] != 0;
            edge[k] += e[c] != 0;
        }
    }
    double share[kDamageReachLimit + 1] = {}, peak = 0;
    for (int k = 2; k <= kDamageReachLimit; ++k) {
        peak = std::max(peak, ring[k] ? (double)alike[k] / ring[k] : 0);
        share[k] = ring[k] ? (double)edge[k] / ring[k] : 0;
    }
    double picture = 0;
    for (int k = kPictureRingFirst; k <= kPictureRingLast; ++k) picture += share[k];
    picture /= kPictureRingLast - kPictureRingFirst + 1;
    const double least = std::min(std::max(0.2, 0.5 * peak), std::max(0.2, picture + 0.1));
    int reach = 1;
    while (reach < kDamageReachLimit && share[reach + 1] >= least) ++reach;
    return std::min(kDamageReachLimit, reach + 1);
}

// Steady pixels the colour of an outline (light text) or of a box (dark text).
cv::Mat DamageLike(const cv::Mat &steady, const cv::Mat &low, const cv::Mat &high, bool box, const FillRule &rule) {
    cv::Mat like;
    if (box) cv::compare(low, rule.lightLow, like, cv::CMP_GE);
    else cv::compare(high, kOutlineHigh, like, cv::CMP_LE);
    return like & steady;
}

cv::Mat Range(const LumaSpan &span) { return Plane(span, span.high) - Plane(span, span.low); }

cv::Mat Steady(const LumaSpan &span, const FillRule &rule) {
    cv::Mat steady;
    cv::compare(Range(span), rule.steady, steady, cv::CMP_LE);
    return steady;
}

// Pixels that vary by at most half the picture's usual variation: the median range of the ring
// 9 to 14 pixels from the fill (`distance`), past any outline or shadow (the strict bar where
// that is lower).
cv::Mat EdgeSteady(const LumaSpan &span, const cv::Mat &distance, const FillRule &rule) {
    const cv::Mat range = Range(span);
    int counts[256] = {}, total = 0;
    for (int r = 0; r < range.rows; ++r) {
        const float *d = distance.ptr<float>(r);
        const uint8_t *v = range.ptr<uint8_t>(r);
        for (int c = 0; c < range.cols; ++c) {
            if (d[c] < kPictureRingFirst - 0.5f || d[c] > kPictureRingLast + 0.5f) continue;
            ++counts[v[c]];
            ++total;
        }
    }
    int median = 0;
    for (int seen = 0; median < 255 && (seen += counts[median]) * 2 < total;) ++median;
    cv::Mat steady;
    cv::compare(range, std::max(rule.steady, median / 2), steady, cv::CMP_LE);
    return steady;
}

// The reach of the damage around `fill` over a span (light text: outline or shadow; else a box).
int ReachAround(const LumaSpan &span, const cv::Mat &fill, const cv::Mat &steady, bool box, const FillRule &rule) {
    const cv::Mat low = Plane(span, span.low), high = Plane(span, span.high);
    cv::Mat distance;
    cv::distanceTransform(~fill, distance, cv::DIST_C, 3, CV_32F);
    return DamageReach(distance, DamageLike(steady, low, high, box, rule),
                       DamageLike(EdgeSteady(span, distance, rule), low, high, box, rule));
}

}  // namespace

void LumaSpan::Reset(int x, int y, int w, int h) {
    left = x, top = y, width = w, height = h;
    low.assign((size_t)w * h, 255);
    high.assign((size_t)w * h, 0);
    frames = 0;
}

void LumaSpan::Add(const uint8_t *luma, std::ptrdiff_t stride) {
    const cv::Mat frame(height, width, CV_8U, const_cast<uint8_t *>(luma + top * stride + left), (size_t)stride);
    cv::Mat lo = Plane(*this, low), hi = Plane(*this, high);
    cv::min(lo, frame, lo);
    cv::max(hi, frame, hi);
    ++frames;
}

namespace {

// The light fill: steady light pixels near the lightest level they reach (white text over a
// light, slow picture keeps the picture out), within the colour's band.
cv::Mat LightFill(const cv::Mat &steadyLight, const cv::Mat &low, const cv::Mat &high, const FillRule &rule) {
    int histogram[256] = {}, count = 0;
    for (int r = 0; r < low.rows; ++r) {
        const uint8_t *l = low.ptr<uint8_t>(r), *m = steadyLight.ptr<uint8_t>(r);
        for (int c = 0; c < low.cols; ++c)
            if (m[c]) ++histogram[l[c]], ++count;
    }
    int level = 255;
    for (int seen = 0; level > 0 && (seen += histogram[level]) * 10 < count; --level) {}
    cv::Mat fill, notTooLight;
    cv::compare(low, std::max(rule.lightLow, level - 45), fill, cv::CMP_GE);
    cv::compare(high, rule.lightHigh, notTooLight, cv::CMP_LE);
    return fill & steadyLight & notTooLight;
}

// Whether `fill` looks like text (see the top); its median glyph height in `glyphHeight`.
bool LooksLikeText(cv::Mat &fill, bool lowerBand) {
    int glyphHeight = 0, glyphWidth = 0;
    const int glyphs = KeepComponents(fill, 3, &glyphHeight, &glyphWidth);
    const int area = cv::countNonZero(fill);
    if (area < 30 || glyphs < (lowerBand ? 2 : 3) || glyphHeight < 4) return false;
    // Letters, or words of joined letters, not streaks: a bright edge that runs along the way the
    // picture moves looks as still as a subtitle.
    if (glyphWidth > 3 * glyphHeight) return false;
    return ThinStrokes(fill, glyphHeight) && InLines(fill, glyphHeight);
}

}  // namespace

SubtitleShape ShapeSubtitle(const LumaSpan &span, const FillRule &rule, bool lowerBand) {
    SubtitleShape shape;
    if (span.width <= 0 || span.height <= 0 || span.frames == 0) return shape;
    const cv::Mat low = Plane(span, span.low), high = Plane(span, span.high);
    const cv::Mat steady = Steady(span, rule);
    cv::Mat steadyLight;
    cv::compare(low, rule.lightLow, steadyLight, cv::CMP_GE);
    steadyLight &= steady;
    DropEdgeComponents(steadyLight);
    // Light text first: the picture between two outlined lines can look like a box.
    cv::Mat fill = LightFill(steadyLight, low, high, rule);
    cv::Rect box;
    if (!LooksLikeText(fill, lowerBand) || !HasOutline(fill, steady, high)) {
        if (!FindBox(steadyLight, &box)) return shape;
        cv::compare(high, rule.darkHigh, fill, cv::CMP_LE);
        fill &= steady;
        cv::Mat inside = cv::Mat::zeros(fill.size(), CV_8U);
        inside(box) = 255;
        fill &= inside;
        if (!LooksLikeText(fill, lowerBand)) return shape;
        shape.darkOnBox = true;
    }
    shape.reach = ReachAround(span, fill, steady, shape.darkOnBox, rule);
    // A clear border as wide as the damage reaches, so that the rectangle does not stop the
    // widening short of it.
    const int border = std::max(kGraymapBorder, shape.reach);
    shape.widening = WideningFor(shape.reach, border);
    const cv::Rect bounds = (cv::boundingRect(fill) + cv::Point(-border, -border) + cv::Size(2 * border, 2 * border)) &
                            cv::Rect(0, 0, span.width, span.height);
    shape.x = span.left + bounds.x;
    shape.y = span.top + bounds.y;
    shape.width = bounds.width;
    shape.height = bounds.height;
    shape.graymap.resize((size_t)bounds.area());
    cv::Mat out(bounds.height, bounds.width, CV_8U, shape.graymap.data());
    fill(bounds).copyTo(out);
    shape.text = true;
    return shape;
}

Widening WideningAroundGraymap(const LumaSpan &span, const uint8_t *graymap, int x, int y, int width, int height,
                               const FillRule &rule, const ComeAndGo *change) {
    if (span.frames == 0) return Widening{};
    cv::Mat fill = cv::Mat::zeros(span.height, span.width, CV_8U);
    const cv::Rect placed = cv::Rect(x - span.left, y - span.top, width, height) & cv::Rect(0, 0, span.width, span.height);
    for (int r = placed.y; r < placed.y + placed.height; ++r) {
        const uint8_t *g = graymap + (size_t)(r - (y - span.top)) * width - (x - span.left);
        uint8_t *f = fill.ptr<uint8_t>(r);
        for (int c = placed.x; c < placed.x + placed.width; ++c) f[c] = g[c] ? 255 : 0;
    }
    if (cv::countNonZero(fill) == 0) return Widening{};
    const cv::Rect bounds = cv::boundingRect(fill);
    const int border = std::max(0, std::min({bounds.x - placed.x, bounds.y - placed.y, placed.br().x - bounds.br().x,
                                             placed.br().y - bounds.br().y}));
    int reach = ReachAround(span, fill, Steady(span, rule), false, rule);
    if (change) {
        // Steady rings that run to their limit found no edge: still picture all around (dark
        // letter blocks: 15 for an outline of 4). Over a still picture the change at both ends is
        // then the damage itself. Short of the limit the steady edge stands: a graymap that misses
        // part of the fill (as found ones may) cuts the change's profiles short at the lightening
        // of that part (on the detection benchmark's still serif clip, 0.2 % of the damage lost).
        const ChangedReach changed = ChangeReach(fill.data, span.width, span.height, *change);
        const bool whole = changed.still && changed.reach > 0 && reach >= kDamageReachLimit;
        reach = whole ? changed.reach : std::max(reach, changed.reach);
    }
    return WideningFor(reach, border);
}
