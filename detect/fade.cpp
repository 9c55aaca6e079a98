// Fades at a subtitle's ends (see fade.h).
#include "detect/fade.h"

#include <algorithm>

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
    double lightSum = 0, darkSum = 0;
    for (size_t k = 0; k < pixels.size(); ++k)
        if (luma[k] >= middle) probe.light.push_back(pixels[k]), lightSum += luma[k];
    std::sort(probe.light.begin(), probe.light.end());
    for (size_t k = 0; k < pixels.size(); ++k)
        if (luma[k] < middle && BesideLight(probe.light, pixels[k], width)) probe.dark.push_back(pixels[k]), darkSum += luma[k];
    if (probe.light.size() < kMinSide || probe.dark.size() < kMinSide) return FadeProbe{};
    probe.contrast = lightSum / (double)probe.light.size() - darkSum / (double)probe.dark.size();
    if (probe.contrast < kMinContrast) return FadeProbe{};
    return probe;
}

double FadeStrength(const FadeProbe &probe, const uint8_t *plane) {
    if (!probe.Usable()) return 0;
    return (Mean(probe.light, plane) - Mean(probe.dark, plane)) / probe.contrast;
}

bool FadeFollower::Step(double strength) {
    if (decided_) return false;
    if (seen_.empty() && strength >= kFadeHeld) {
        ++held_;  // still there in full
        return true;
    }
    seen_.push_back(strength);
    if (seen_.size() > 1 && strength > *std::min_element(seen_.begin(), seen_.end() - 1) + kRise) {
        Decide(seen_.size() - 1, false);  // something else came in its place
        return false;
    }
    if (seen_.size() >= kSettle) {
        const auto tail = seen_.end() - (std::ptrdiff_t)kSettle;
        const auto [low, high] = std::minmax_element(tail, seen_.end());
        if (*high - *low <= kFlat && *high < 0.5) {
            Decide(seen_.size(), true);
            return false;
        }
    }
    if (seen_.size() >= (size_t)maxFrames_ + kSettle) {
        Decide(seen_.size(), false);
        return false;
    }
    return true;
}

void FadeFollower::Stop() {
    if (!decided_) Decide(seen_.size(), false);
}

// The fade: the leading run of `seen` strengths that fall (give or take a wobble) and stand above
// the picture's own level, taken from the settled tail when there is one, else the lowest seen.
void FadeFollower::Decide(size_t seen, bool settled) {
    decided_ = true;
    if (seen == 0) return;
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
    if (seen_[0] < kFadeStart) return;
    size_t n = 0;
    while (n < seen && (int)n < maxFrames_ && seen_[n] > level + margin && (n == 0 || seen_[n] <= seen_[n - 1] + kWobble)) ++n;
    faded_ = (int)n;
}
