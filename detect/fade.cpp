// Fades at a subtitle's ends (see fade.h).
#include "detect/fade.h"

#include <algorithm>
#include <cmath>

namespace {

// Pixels each side needs, and the steady contrast between them (luma), for the opacity to be read
// to a few percent over the picture's own contrast.
constexpr size_t kMinSide = 8;
constexpr double kMinContrast = 48;
// The fade has ended when kSettle strengths in a row lie within kFlat; a rise of kRise over the
// lowest so far is another text coming. A fading frame stands kMinMargin (or twice the settled
// strengths' spread) above the picture's level, and is at most kWobble above the frame before it.
constexpr size_t kSettle = 3;
constexpr double kFlat = 0.04, kRise = 0.15, kMinMargin = 0.03, kWobble = 0.02;
// The strength of a fade's first frame past the steady ones at least: a fade of 3 frames or more.
constexpr double kFadeStart = 0.5;
// A faint last frame shows over the frame beyond kFaintest times the spread (at least kMinSpread)
// more than each of the kBeyond frames beyond it shows over its own next.
constexpr size_t kBeyond = 3;
constexpr double kFaintest = 3, kMinSpread = 0.005;

double Mean(const std::vector<int> &pixels, const uint8_t *plane) {
    double sum = 0;
    for (int p : pixels) sum += plane[p];
    return sum / (double)pixels.size();
}

// Whether a pixel of the sorted `light` lies next to `p` (8-neighbours, rows `width` wide).
bool BesideLight(const std::vector<int> &light, int p, int width) {
    const int x = p % width;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            if ((dx || dy) && x + dx >= 0 && x + dx < width && std::binary_search(light.begin(), light.end(), p + dy * width + dx)) return true;
    return false;
}

}  // namespace

FadeProbe MakeFadeProbe(const std::vector<int> &pixels, const std::vector<uint8_t> &luma, int width) {
    FadeProbe probe;
    if (pixels.size() < 2 * kMinSide || pixels.size() != luma.size()) return probe;
    // Split halfway between the 10th and the 90th percentile: a fill and its outline (or text and
    // its box) lie on either side, whatever their share.
    std::vector<uint8_t> sorted = luma;
    std::sort(sorted.begin(), sorted.end());
    const int low = sorted[sorted.size() / 10], high = sorted[sorted.size() * 9 / 10];
    const int middle = (low + high + 1) / 2;
    std::vector<std::pair<int, uint8_t>> light;
    for (size_t k = 0; k < pixels.size(); ++k)
        if (luma[k] >= middle) light.emplace_back(pixels[k], luma[k]);
    std::sort(light.begin(), light.end());
    double lightSum = 0, darkSum = 0;
    for (const auto &[at, l] : light) probe.light.push_back(at), probe.steady.push_back(l), lightSum += l;
    for (size_t k = 0; k < pixels.size(); ++k)
        if (luma[k] < middle && BesideLight(probe.light, pixels[k], width))
            probe.dark.push_back(pixels[k]), probe.steady.push_back(luma[k]), darkSum += luma[k];
    if (probe.light.size() < kMinSide || probe.dark.size() < kMinSide) return FadeProbe{};
    probe.contrast = lightSum / (double)probe.light.size() - darkSum / (double)probe.dark.size();
    if (probe.contrast < kMinContrast) return FadeProbe{};
    return probe;
}

double FadeStrength(const FadeProbe &probe, const uint8_t *plane) {
    if (!probe.Usable()) return 0;
    return (Mean(probe.light, plane) - Mean(probe.dark, plane)) / probe.contrast;
}

bool FadeFollower::Step(const FadeProbe &probe, const uint8_t *plane) {
    if (decided_) return false;
    // The opacity the last frame shows over this one: the least-squares a of last - this =
    // a (steady - this), over light and dark pixels alike; and, in the same pass, the sums that
    // FadeStrength takes (in its order, so the strength is the same).
    const size_t lights = probe.light.size(), n = lights + probe.dark.size();
    const bool have = last_.size() == n;
    if (!have) last_.assign(n, 0);
    double num = 0, den = 0, sums[2] = {0, 0};
    for (size_t k = 0; k < n; ++k) {
        const int at = k < lights ? probe.light[k] : probe.dark[k - lights];
        const double v = plane[at], toward = (double)probe.steady[k] - v;
        num += (last_[k] - v) * toward;
        den += toward * toward;
        sums[k >= lights] += v;
        last_[k] = plane[at];
    }
    if (have) over_.push_back(den > 0 ? num / den : 0);
    if (!probe.Usable()) return Step(0.0);
    return Step((sums[0] / (double)lights - sums[1] / (double)probe.dark.size()) / probe.contrast);
}

bool FadeFollower::Step(double strength) {
    if (decided_) return false;
    if (waitFor_) {
        seen_.push_back(strength);
        if (seen_.size() < waitFor_) return true;
        TakeFaintest();
        return false;
    }
    if (seen_.empty() && strength >= kFadeHeld) {
        ++held_;  // still there in full
        return true;
    }
    seen_.push_back(strength);
    if (seen_.size() > 1 && strength > *std::min_element(seen_.begin(), seen_.end() - 1) + kRise) {
        return Decide(seen_.size() - 1, false);  // something else came in its place
    }
    if (seen_.size() >= kSettle) {
        const auto tail = seen_.end() - (std::ptrdiff_t)kSettle;
        const auto [low, high] = std::minmax_element(tail, seen_.end());
        if (*high - *low <= kFlat && *high < 0.5) {
            return Decide(seen_.size(), true);
        }
    }
    if (seen_.size() >= (size_t)maxFrames_ + kSettle) {
        return Decide(seen_.size(), false);
    }
    return true;
}

void FadeFollower::Stop() {
    if (decided_) return;
    if (waitFor_) TakeFaintest();
    else Decide(seen_.size(), false);
    decided_ = true;
}

// The fade: the leading run of `seen` strengths that fall (give or take a wobble) and stand above
// the picture's own level, taken from the settled tail when there is one, else the lowest seen.
// True while a settled fade waits for the frames that tell whether the next one is its faintest.
bool FadeFollower::Decide(size_t seen, bool settled) {
    decided_ = true;
    if (seen == 0) return false;
    double level = *std::min_element(seen_.begin(), seen_.begin() + (std::ptrdiff_t)seen), wobble = kMinMargin / 2;
    if (settled) {
        std::vector<double> tail(seen_.begin() + (std::ptrdiff_t)(seen - kSettle), seen_.begin() + (std::ptrdiff_t)seen);
        std::sort(tail.begin(), tail.end());
        level = tail[tail.size() / 2];
        wobble = tail.back() - tail.front();
    }
    const double margin = std::max(kMinMargin, 2 * wobble);
    // A fade's first frame past the steady ones is still mostly there: lower, it is the picture's
    // own contrast (a light shadow's probe over a light picture reads 0.3 to 0.4 there).
    if (seen_[0] < kFadeStart) return false;
    size_t n = 0;
    while (n < seen && (int)n < maxFrames_ && seen_[n] > level + margin && (n == 0 || seen_[n] <= seen_[n - 1] + kWobble)) ++n;
    faded_ = (int)n;
    // Only a fade that ran down to the picture's level (not into another text) may have a faint
    // frame left, and only a follower given the frames can tell.
    if (!settled || n < 2 || (int)n >= maxFrames_ || over_.empty()) return false;
    decided_ = false;
    waitFor_ = n + 2 + kBeyond;
    if (seen_.size() < waitFor_) return true;
    TakeFaintest();
    return false;
}

// The frame after the fade (seen index faded_) is its faintest when the opacity it shows over the
// frame beyond stands out of the same reading between the kBeyond pairs of frames after it.
void FadeFollower::TakeFaintest() {
    decided_ = true;
    const size_t at = (size_t)(held_ + faded_);
    if (over_.size() < at + 1 + kBeyond) return;
    double mean = 0, spread = 0;
    for (size_t k = 1; k <= kBeyond; ++k) mean += over_[at + k] / kBeyond;
    for (size_t k = 1; k <= kBeyond; ++k) spread += (over_[at + k] - mean) * (over_[at + k] - mean) / kBeyond;
    spread = std::max(kMinSpread, std::sqrt(spread));
    if (over_[at] - mean > kFaintest * spread) ++faded_;
}
