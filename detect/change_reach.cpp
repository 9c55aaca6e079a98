// The reach of a subtitle's damage from its coming and going (see change_reach.h).
//
// At each end the picture without the subtitle (the frame before it came, the frame after it
// went) is set against the picture with it (its first frame, its last), pixel by pixel straight
// out from the fill: below the lowest fill pixel of each column, above the highest, and beside
// the outer ones of each row, k = 1, 2, ... pixels out. Averaged over the columns (or rows) at
// each distance, the difference is what the subtitle darkened (or lightened) there, plus the
// picture's own change between two frames, which averages out to a level the far distances (22
// to 29) share and is taken off; the two ends are averaged, or the smaller taken where they
// disagree. Followed out from the fill's edge, not in rings around it, a shadow below the text is
// not thinned by the clear side above it nor by the gaps between letters: on the counter of the
// real-footage benchmark a soft shadow falls 49, 44, 39, 34, 27, 21, 16, 11, 8, 5, 2.4 levels
// from 2 pixels below the text to 12; an outline or a box steps down to nothing.
// The damage is what the subtitle changed by more than 2 levels in the brightest picture (0.8 %
// opacity), so a soft shadow goes on where its mean is lost in the picture's own change: past the
// last distance that stands clear, the fall is carried on as it went, steepening as a blurred
// edge's does, until the mean would be 0.3 % of the picture's level (the columns where the shadow
// reaches farthest pass the threshold about there; less at a fade's faint ends, see SideReach). A
// step to nothing has no such tail.
// What changes with the picture alone is guarded four ways: an end is used only when its far
// pixels changed little more than two frames with the subtitle do (not at a cut or a flash); a
// distance stands clear only above a bar set by how much the far distances' means scatter (higher
// with one end, lower over a still picture, where only the coding noise is left); where the ends
// disagree by more than that bar the smaller counts; and a tail is carried on only from a gradual
// fall.
// Cost: a distance transform and two passes over the pixels out from the fill's edge (29 per
// column and row), once per subtitle.
#include "detect/change_reach.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace {

// The farthest a subtitle's damage may reach, and the distances of the picture past it that give
// each end's own level and scatter.
constexpr int kLimit = 20;
constexpr int kFarFirst = 22, kFarLast = 29;
// Mean change of the far distances, in levels, of a still picture (coding noise).
constexpr double kStill = 3;
// Far pixels an end needs to be judged at all.
constexpr int kMinFar = 64;

// Which way from the fill: below it, above it, beside it (left and right together: a line's two
// ends give few rows each).
enum Side { kBelow, kAbove, kBeside, kSides };

// The fill's lowest and highest pixel in each column, its leftmost and rightmost in each row; -1
// where a column or row has none.
struct Edges {
    std::vector<int> bottom, top, left, right;
};

Edges FindEdges(const uint8_t *fill, int width, int height) {
    Edges e{std::vector<int>(width, -1), std::vector<int>(width, -1), std::vector<int>(height, -1),
            std::vector<int>(height, -1)};
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c) {
            if (!fill[(size_t)r * width + c]) continue;
            if (e.top[c] < 0) e.top[c] = r;
            e.bottom[c] = r;
            if (e.left[r] < 0) e.left[r] = c;
            e.right[r] = c;
        }
    return e;
}

// Calls f(side, k, index of the pixel) for each pixel k = 1..kFarLast straight out from the
// fill's edge that lies no nearer to any other fill pixel (`distance`: the fill's Chebyshev
// distance transform): below the crossbar of a T lie the stem's outline and shadow, which belong
// to the stem's own distances.
template <class F>
void ForEachOut(const Edges &e, const cv::Mat &distance, F f) {
    const int width = distance.cols, height = distance.rows;
    auto at = [&](int side, int k, int r, int c) {
        if (r < 0 || r >= height || c < 0 || c >= width || distance.at<float>(r, c) < k - 0.5f) return;
        f(side, k, (size_t)r * width + c);
    };
    for (int c = 0; c < width; ++c) {
        if (e.top[c] < 0) continue;
        for (int k = 1; k <= kFarLast; ++k) {
            at(kBelow, k, e.bottom[c] + k, c);
            at(kAbove, k, e.top[c] - k, c);
        }
    }
    for (int r = 0; r < height; ++r) {
        if (e.left[r] < 0) continue;
        for (int k = 1; k <= kFarLast; ++k) {
            at(kBeside, k, r, e.right[r] + k);
            at(kBeside, k, r, e.left[r] - k);
        }
    }
}

struct EndProfile {
    bool usable = false;
    bool still = false;                      // the far distances changed by the coding noise alone
    double mean[kSides][kFarLast + 1] = {};  // of without - with, less the far distances' level
    double scatter[kSides] = {};             // root mean square of the far means about that level
    bool seen[kSides] = {};                  // the side has far pixels
    double background = 0;                   // mean luma without the subtitle, far out
};

// The level and scatter of one side's far means; false when it has none.
bool Level(double *mean, const int64_t *count, double *scatter) {
    double level = 0, spread = 0;
    int n = 0;
    for (int k = kFarFirst; k <= kFarLast; ++k)
        if (count[k]) level += mean[k], ++n;
    if (n == 0) return false;
    level /= n;
    for (int k = kFarFirst; k <= kFarLast; ++k)
        if (count[k]) spread += (mean[k] - level) * (mean[k] - level);
    for (int k = 1; k <= kFarLast; ++k) mean[k] -= level;
    *scatter = std::sqrt(spread / n);
    return true;
}

// One end: `without` the subtitle, `with` it, `withToo` the next frame with it (the picture's own
// change between two frames). Unusable when a plane is missing or the far pixels changed more than
// twice as much as between two frames with the subtitle, and 4 levels (a cut, a flash).
EndProfile Profile(const Edges &edges, const cv::Mat &distance, const std::vector<uint8_t> &without,
                   const std::vector<uint8_t> &with, const std::vector<uint8_t> &withToo) {
    EndProfile end;
    const size_t size = (size_t)distance.cols * distance.rows;
    if (without.size() != size || with.size() != size || withToo.size() != size) return end;
    double sum[kSides][kFarLast + 1] = {}, change = 0, motion = 0, luma = 0;
    int64_t count[kSides][kFarLast + 1] = {}, far = 0;
    ForEachOut(edges, distance, [&](int side, int k, size_t i) {
        const int diff = without[i] - with[i];
        sum[side][k] += diff;
        ++count[side][k];
        if (k < kFarFirst) return;
        change += std::abs(diff);
        motion += std::abs(withToo[i] - with[i]);
        luma += without[i];
        ++far;
    });
    if (far < kMinFar || change > 2 * motion + 4.0 * far) return end;
    for (int side = 0; side < kSides; ++side) {
        for (int k = 1; k <= kFarLast; ++k)
            end.mean[side][k] = count[side][k] ? sum[side][k] / count[side][k] : 0;
        end.seen[side] = Level(end.mean[side], count[side], &end.scatter[side]);
    }
    end.background = luma / far;
    end.still = change <= kStill * far;
    end.usable = true;
    return end;
}

// The distances a subtitle's change covers, 1 (the anti-aliasing) always, then out while the
// profile `d` stays at `bar` at least. Past them the faint tail (see the top), when the last three
// steps fell gradually (to between 35 and 90 %) and the next, lost in the picture, came no lower
// than a third of what that fall foretold; a step to nothing (an outline's edge, a box's) has
// none, nor an outline's anti-aliased edge, two steps down from its peak (124, 68, 30, then 4
// beside a line whose picture changed at the cut before its end: 7 pixels for 5).
int Covered(const double *d, double bar, double faint) {
    int last = 1;
    while (last < kLimit && d[last + 1] >= bar) ++last;
    if (last < 4 || last == kLimit || d[last + 1] >= bar || d[last] <= faint || d[last - 3] <= 0) return last;
    const double fall = d[last] / d[last - 1], before = d[last - 1] / d[last - 2], first = d[last - 2] / d[last - 3];
    if (std::min({fall, before, first}) < 0.35 || std::max({fall, before, first}) > 0.9 ||
        d[last + 1] < 0.3 * fall * d[last])
        return last;
    // The log of the mean goes on falling as it fell, by a quarter a step at least, and steepening
    // as it steepened, by 0.05 a step at least (a blurred edge's tail: at a steady rate, the
    // beside-the-line tail of the real-footage soft shadow ran to 18 pixels for 12).
    const double slope = std::min(std::log(fall), std::log(0.75));
    const double bend = std::min(-0.05, std::log(fall) - std::log(before));
    double level = std::log(d[last]);
    int tail = 0;
    for (int j = 1; last + tail < kLimit && (level += slope + j * bend) > std::log(faint); ++j) ++tail;
    return last + tail;
}

// The reach on one side from the usable ends' profiles, `sign` making the damage positive: their
// mean, or the smaller where they differ by more than the bar (the picture changed near the text
// at one end only: a scene cut beside the line, something passing). The bar: 4 times the far
// means' scatter, and 1 level or 2 % of the peak (coding noise and what the picture leaves); over
// a still picture a quarter level or 0.5 % of it; with one end, 6 times, 2 levels or 4 %. The
// tail's end: 0.3 % of the picture's level (how far the darkening or the lightening can go), or 1 %
// of the peak where that is less (a fade's faint ends, a light shadow).
int SideReach(const EndProfile *ends, int side, double sign) {
    const EndProfile *used[2];
    int usable = 0;
    for (int i = 0; i < 2; ++i) {
        if (!ends[i].usable) continue;
        if (!ends[i].seen[side]) return 0;
        used[usable++] = &ends[i];
    }
    if (usable == 0) return 0;
    const EndProfile &a = *used[0], &b = *used[usable - 1];
    double mean[kLimit + 2], peak = 0;
    for (int k = 1; k <= kLimit + 1; ++k) {
        mean[k] = sign * (a.mean[side][k] + b.mean[side][k]) / 2;
        if (k <= kLimit) peak = std::max(peak, mean[k]);
    }
    const double scatter = std::max(a.scatter[side], b.scatter[side]);
    const bool still = usable == 2 && a.still && b.still;
    const double bar = still         ? std::max({0.25, 4 * scatter, 0.005 * peak})
                       : usable == 2 ? std::max({1.0, 4 * scatter, 0.02 * peak})
                                     : std::max({2.0, 6 * scatter, 0.04 * peak});
    double d[kLimit + 2];
    for (int k = 1; k <= kLimit + 1; ++k) {
        const double x = sign * a.mean[side][k], y = sign * b.mean[side][k];
        d[k] = std::abs(x - y) > bar ? std::min(x, y) : mean[k];
    }
    const double level = sign > 0 ? (a.background + b.background) / 2 : 255 - (a.background + b.background) / 2;
    const double faint = std::max(0.05, std::min(0.003 * level, 0.01 * peak));
    return Covered(d, bar, faint);
}

}  // namespace

ChangedReach ChangeReach(const uint8_t *fill, int width, int height, const ComeAndGo &change) {
    if (width <= 0 || height <= 0) return {};
    const Edges edges = FindEdges(fill, width, height);
    cv::Mat outside(height, width, CV_8U), distance;
    for (size_t i = 0; i < (size_t)width * height; ++i) outside.data[i] = fill[i] ? 0 : 255;
    cv::distanceTransform(outside, distance, cv::DIST_C, 3, CV_32F);
    const EndProfile ends[2] = {Profile(edges, distance, change.before, change.first, change.second),
                                Profile(edges, distance, change.after, change.last, change.penultimate)};
    if (!ends[0].usable && !ends[1].usable) return {};
    // Darkened (an outline, a shadow, a dark box) or lightened, by the pixels next to the fill.
    double near = 0;
    for (const EndProfile &e : ends)
        for (int side = 0; e.usable && side < kSides; ++side)
            for (int k = 1; k <= 3; ++k) near += e.mean[side][k];
    const double sign = near >= 0 ? 1 : -1;
    ChangedReach out;
    for (int side = 0; side < kSides; ++side) out.reach = std::max(out.reach, SideReach(ends, side, sign));
    out.still = ends[0].usable && ends[1].usable && ends[0].still && ends[1].still;
    return out;
}
