// The shape of a subtitle born where a learned text detector found a line (see proposed_shape.h).
//
// Three planes over the subtitle's place: its luma while on screen (the middle of the lowest and
// highest each pixel took, and whether that range is small: steady), the frame before it came and
// the frame after it went. A pixel is damage when it is steady and its luma differs from the
// picture before and after by more than the coding noise, or when every luma it took lies beyond
// both, all lighter or all darker (a thin stroke that covers its pixels in part mixes with the
// moving picture behind and is never steady). So the damage takes in whatever the style drew
// (fill, outline, shadow, a soft blur down to that difference) and nothing of the picture: moving
// picture is never steady nor always lighter than itself, still picture is the same before and
// after. Around the lines (the span's margin outside them) the same measure
// tells a subtitle from a picture that changed as a whole (a camera that stops moving makes every
// pixel steady and different at once): a subtitle leaves its surroundings alone. Glyphs are
// strokes, and what a hand puts down in the scene is mostly solid.
// Cost: a few passes over the span and one labelling, once per subtitle.
#include "detect/proposed_shape.h"

#include <algorithm>
#include <cstdlib>

#include <opencv2/imgproc.hpp>

namespace {

// Luma a pixel may wander while on screen (coding noise, a fade's last steps).
constexpr int kSteady = 20;
// Luma by which the subtitle's pixels differ from the picture without it.
constexpr int kChanged = 10;
// How far past the measured damage the mask reaches: a translucent shadow or outline over a
// moving picture is never steady, and lies within this of the steady damage (a 1-pixel shadow
// and its anti-aliasing); a soft shadow's blur fades out past what is measured, by more the
// larger the picture (styles scale with it); and thin strokes over a busy moving picture are
// measured in part (they cover their pixels partly, so those pixels are neither steady nor always
// beyond the picture), with their edges a pixel or two out. A pixel per kReachRows rows of the
// picture (kReach at least), and kPast more. Measured on camera clips, the share of the damaged
// pixels covered and the mask's area over theirs, against kPast:
//   720-line soft shadow over a speckled counter    0: 98.3 % 1.11   1: 99.5 % 1.17   2: 99.9 % 1.25
//   480-line Chinese, light shadow, handheld street 0: 97.9 % 1.67                   2: 99.8 % 2.17
// (a fifth of that line's damage is measured; the rest lies within the reach).
constexpr int kReach = 3, kReachRows = 144, kPast = 2;
// Components of damage smaller than this are coding noise.
constexpr int kMinComponent = 4;
// Damage pixels a subtitle has at least.
constexpr int kMinDamage = 40;
// Share of the picture around the lines that may change with the subtitle.
constexpr double kMaxAroundChanged = 0.2;

// Glyphs are strokes: an erosion by nearly half the line's height leaves little of them (bold
// strokes are a third of a small letter's height at most), most of a solid thing. A subtitle's
// box is solid too, and wide: at least three times as wide as high and filling most of its bounds.
bool TextLike(const cv::Mat &damage, int lineHeight) {
    const int k = std::max(3, (lineHeight * 9 / 20) | 1);
    cv::Mat eroded;
    cv::erode(damage, eroded, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(k, k)));
    const int area = cv::countNonZero(damage);
    if (cv::countNonZero(eroded) <= 0.15 * area) return true;
    const cv::Rect bounds = cv::boundingRect(damage);
    return bounds.width >= 3 * bounds.height && area >= 0.7 * bounds.area();
}

cv::Mat Plane(const LumaSpan &span, const std::vector<uint8_t> &v) {
    return cv::Mat(span.height, span.width, CV_8U, const_cast<uint8_t *>(v.data()));
}

// Pixels whose luma differs from `other`'s by more than kChanged.
cv::Mat Differs(const cv::Mat &middle, const LumaSpan &span, const std::vector<uint8_t> &other) {
    cv::Mat diff, out;
    cv::absdiff(middle, Plane(span, other), diff);
    cv::compare(diff, kChanged, out, cv::CMP_GT);
    return out;
}

// Pixels whose every luma while on screen lies beyond the picture before and after it by more
// than kChanged, all lighter or all darker: thin strokes and their shadows, whose pixels mix the
// text with a moving picture and so are never steady, yet never show the picture itself.
cv::Mat Beyond(const LumaSpan &span, const std::vector<uint8_t> &before, const std::vector<uint8_t> &after) {
    const cv::Mat b = Plane(span, before), a = Plane(span, after);
    cv::Mat lightest, darkest, above, below;
    cv::max(b, a, lightest);
    cv::min(b, a, darkest);
    cv::add(lightest, cv::Scalar(kChanged), lightest);
    cv::subtract(darkest, cv::Scalar(kChanged), darkest);
    cv::compare(Plane(span, span.low), lightest, above, cv::CMP_GT);
    cv::compare(Plane(span, span.high), darkest, below, cv::CMP_LT);
    return above | below;
}

void DropSmall(cv::Mat &mask) {
    cv::Mat labels, stats, centroids;
    const int n = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
    std::vector<uint8_t> keep((size_t)n, 0);
    for (int i = 1; i < n; ++i) keep[(size_t)i] = stats.at<int>(i, cv::CC_STAT_AREA) >= kMinComponent;
    for (int r = 0; r < mask.rows; ++r) {
        const int *l = labels.ptr<int>(r);
        uint8_t *m = mask.ptr<uint8_t>(r);
        for (int c = 0; c < mask.cols; ++c) m[c] = keep[(size_t)l[c]] ? m[c] : 0;
    }
}

}  // namespace

SubtitleShape ShapeProposed(const ProposedEvidence &evidence) {
    SubtitleShape shape;
    const LumaSpan &span = *evidence.span;
    const size_t size = (size_t)span.width * span.height;
    if (span.frames == 0 || size == 0 || evidence.lines.size() != size) return shape;
    const cv::Mat low = Plane(span, span.low), high = Plane(span, span.high);
    cv::Mat range, middle, steady;
    cv::subtract(high, low, range);
    cv::addWeighted(low, 0.5, high, 0.5, 0, middle);
    cv::compare(range, kSteady, steady, cv::CMP_LE);
    // A subtitle comes and goes: without the frame before it or the one after, a line there from
    // the film's first frame or to its last is a thing in the scene as much as a subtitle.
    if (evidence.before.size() != size || evidence.after.size() != size) return shape;
    const cv::Mat changed = Differs(middle, span, evidence.before) & Differs(middle, span, evidence.after);
    const cv::Mat lines = Plane(span, evidence.lines);
    cv::Mat damage = (steady | Beyond(span, evidence.before, evidence.after)) & changed & lines;
    DropSmall(damage);
    const int area = cv::countNonZero(damage);
    if (area < kMinDamage || !TextLike(damage, evidence.lineHeight)) return shape;
    // Around the lines: a picture that changed as a whole is not a subtitle.
    const cv::Mat around = ~lines;
    const cv::Mat aroundChanged = steady & changed & around;
    const int aroundCount = cv::countNonZero(around);
    if (aroundCount > 0 && cv::countNonZero(aroundChanged) > kMaxAroundChanged * aroundCount)
        return shape;
    // Clear pixels around the damage in the graymap, so that the widening is not cut short; the
    // last kPast of the reach are grown past the rectangle, which stays the place that tells this
    // find from the detector's own of the same text.
    const int border = std::max(kReach, (evidence.pictureHeight + kReachRows / 2) / kReachRows), reach = border + kPast;
    const cv::Rect bounds = (cv::boundingRect(damage) + cv::Point(-border, -border) + cv::Size(2 * border, 2 * border)) &
                            cv::Rect(0, 0, span.width, span.height);
    shape.x = span.left + bounds.x;
    shape.y = span.top + bounds.y;
    shape.width = bounds.width;
    shape.height = bounds.height;
    shape.graymap.resize((size_t)bounds.area());
    cv::Mat out(bounds.height, bounds.width, CV_8U, shape.graymap.data());
    damage(bounds).copyTo(out);
    shape.reach = reach;
    shape.widening = WideningFor(shape.reach, border);
    shape.text = true;
    return shape;
}
