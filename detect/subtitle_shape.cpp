// The shape of one found subtitle, from the lowest and highest luma of each pixel around it over
// its frames (a LumaSpan).
//
// A burnt-in subtitle is the part of the picture that does not change while the film moves under
// it: its pixels are "steady" (highest minus lowest luma small). Among them:
// - light text: the fill is steady and light, the outline or shadow steady and dark;
// - dark text on a light box: the box is a solid steady light block and the fill the steady dark
//   pixels inside it.
// Steady light parts that reach the edge of the span are flat picture (sky, a wall), not the
// subtitle. Which of the two it is: the largest steady light component filling most of its bounding box is
// a box (glyph strokes fill a fifth to a third of theirs).
// Text or not: at least two glyph components, thin strokes (an erosion by a third of the glyph
// height leaves almost nothing of text, half of a solid logo), and for light text a dark outline
// or shadow on a good part of the ring around the fill.
// The radius: the damage is the fill and every steady pixel joined to it (outline, shadow, the
// inner anti-aliasing between fill and outline, or the box); one more pixel for the outer
// anti-aliasing, which blends with the moving picture and so is not steady. The Chebyshev distance
// transform of the fill gives how far the damage reaches (the 99.5th percentile, so that a stray
// steady pixel of the background does not decide), and the module's widening reaches
// r (r + 1) / 2 pixels at radius r.
// Cost: a handful of OpenCV passes (threshold, erosion, components, one distance transform) over
// the span, once per subtitle: well under a millisecond for a two-line subtitle at 720x576.
#include "detect/subtitle_shape.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace {

constexpr int kMaxRadius = 10;
// Steady pixels further than this from the fill are not the subtitle's (the module's radius 5).
constexpr int kDamageReachLimit = 15;
// The outline is at most this luma.
constexpr int kOutlineHigh = 110;

cv::Mat Plane(const LumaSpan &span, const std::vector<uint8_t> &v) {
    return cv::Mat(span.height, span.width, CV_8U, const_cast<uint8_t *>(v.data()));
}

// Drops components smaller than `minArea` pixels; returns how many are left and their median
// height.
int KeepComponents(cv::Mat &mask, int minArea, int *medianHeight) {
    cv::Mat labels, stats, centroids;
    const int n = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
    std::vector<int> heights;
    std::vector<uint8_t> keep((size_t)n, 0);
    for (int i = 1; i < n; ++i) {
        if (stats.at<int>(i, cv::CC_STAT_AREA) < minArea) continue;
        keep[(size_t)i] = 1;
        heights.push_back(stats.at<int>(i, cv::CC_STAT_HEIGHT));
    }
    for (int r = 0; r < mask.rows; ++r) {
        const int *l = labels.ptr<int>(r);
        uint8_t *m = mask.ptr<uint8_t>(r);
        for (int c = 0; c < mask.cols; ++c) m[c] = keep[(size_t)l[c]] ? 255 : 0;
    }
    if (heights.empty()) {
        *medianHeight = 0;
        return 0;
    }
    std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
    *medianHeight = heights[heights.size() / 2];
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

// Thin strokes: an erosion by a third of the glyph height leaves little.
bool ThinStrokes(const cv::Mat &fill, int glyphHeight) {
    const int k = std::max(3, (glyphHeight * 3 / 10) | 1);
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

// How far (Chebyshev) the fill's steady surroundings reach, plus one for the outer anti-aliasing.
int DamageReach(const cv::Mat &fill, const cv::Mat &steady) {
    cv::Mat joined = steady | fill, labels;
    const int n = cv::connectedComponents(joined, labels, 8, CV_32S);
    std::vector<uint8_t> touches((size_t)n, 0);
    for (int r = 0; r < fill.rows; ++r) {
        const uint8_t *f = fill.ptr<uint8_t>(r);
        const int *l = labels.ptr<int>(r);
        for (int c = 0; c < fill.cols; ++c)
            if (f[c]) touches[(size_t)l[c]] = 1;
    }
    cv::Mat distance;
    cv::distanceTransform(~fill, distance, cv::DIST_C, 3, CV_32F);
    std::vector<int> histogram(kDamageReachLimit + 2, 0);
    int64_t total = 0;
    for (int r = 0; r < fill.rows; ++r) {
        const uint8_t *f = fill.ptr<uint8_t>(r);
        const int *l = labels.ptr<int>(r);
        const float *d = distance.ptr<float>(r);
        for (int c = 0; c < fill.cols; ++c) {
            if (f[c] || !touches[(size_t)l[c]]) continue;
            const int k = std::min(kDamageReachLimit + 1, (int)std::lround(d[c]));
            ++histogram[(size_t)k];
            ++total;
        }
    }
    int reach = 0;
    int64_t seen = 0;
    for (int k = 0; k <= kDamageReachLimit + 1; ++k) {
        seen += histogram[(size_t)k];
        if (seen * 1000 >= total * 995) {
            reach = k;
            break;
        }
    }
    return std::min(kDamageReachLimit, reach + 1);
}

cv::Mat Steady(const LumaSpan &span, const FillRule &rule) {
    cv::Mat range = Plane(span, span.high) - Plane(span, span.low), steady;
    cv::compare(range, rule.steady, steady, cv::CMP_LE);
    return steady;
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

int ReachOfRadius(int radius) { return radius * (radius + 1) / 2; }

int RadiusForReach(int distance) {
    for (int r = 0; r < kMaxRadius; ++r)
        if (ReachOfRadius(r) >= distance) return r;
    return kMaxRadius;
}

SubtitleShape ShapeSubtitle(const LumaSpan &span, const FillRule &rule, bool lowerBand) {
    SubtitleShape shape;
    if (span.width <= 0 || span.height <= 0 || span.frames == 0) return shape;
    const cv::Mat low = Plane(span, span.low), high = Plane(span, span.high);
    const cv::Mat steady = Steady(span, rule);
    cv::Mat steadyLight, fill;
    cv::compare(low, rule.lightLow, steadyLight, cv::CMP_GE);
    steadyLight &= steady;
    DropEdgeComponents(steadyLight);
    cv::Rect box;
    shape.darkOnBox = FindBox(steadyLight, &box);
    if (shape.darkOnBox) {
        cv::compare(high, rule.darkHigh, fill, cv::CMP_LE);
        fill &= steady;
        cv::Mat inside = cv::Mat::zeros(fill.size(), CV_8U);
        inside(box) = 255;
        fill &= inside;
    } else {
        cv::Mat notTooLight;
        cv::compare(high, rule.lightHigh, notTooLight, cv::CMP_LE);
        fill = steadyLight & notTooLight;
    }
    int glyphHeight = 0;
    const int glyphs = KeepComponents(fill, 3, &glyphHeight);
    const int area = cv::countNonZero(fill);
    if (area < 30 || glyphs < (lowerBand ? 2 : 3) || glyphHeight < 4) return shape;
    if (!ThinStrokes(fill, glyphHeight)) return shape;
    if (!shape.darkOnBox && !HasOutline(fill, steady, high)) return shape;

    shape.reach = DamageReach(fill, steady);
    shape.radius = RadiusForReach(shape.reach);
    const cv::Rect bounds = cv::boundingRect(fill);
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

int RadiusAroundGraymap(const LumaSpan &span, const uint8_t *graymap, int x, int y, int width, int height,
                        const FillRule &rule) {
    if (span.frames == 0) return -1;
    cv::Mat fill = cv::Mat::zeros(span.height, span.width, CV_8U);
    const cv::Rect placed = cv::Rect(x - span.left, y - span.top, width, height) & cv::Rect(0, 0, span.width, span.height);
    for (int r = placed.y; r < placed.y + placed.height; ++r) {
        const uint8_t *g = graymap + (size_t)(r - (y - span.top)) * width - (x - span.left);
        uint8_t *f = fill.ptr<uint8_t>(r);
        for (int c = placed.x; c < placed.x + placed.width; ++c) f[c] = g[c] ? 255 : 0;
    }
    if (cv::countNonZero(fill) == 0) return -1;
    return RadiusForReach(DamageReach(fill, Steady(span, rule)));
}
