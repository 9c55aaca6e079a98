// Cutting a graymap into text line images (see line_images.h).
#include "cli/ocr/line_images.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

// A cell at or above this value is ink; anti-aliased edges below it still darken the line image.
constexpr uint8_t kInk = 64;
// A line must be this many strokes high at least.
constexpr int kMinLineStrokes = 3;
// Lines lower than this are scaled up to kScaledHeight.
constexpr int kSmallLine = 24;
constexpr int kScaledHeight = 36;
constexpr double kMaxScale = 3.0;

struct Band {
    int top, bottom;  // rows, bottom exclusive
};

bool Ink(const Graymap &g, int x, int y) { return g.cells[(size_t)y * g.width + x] >= kInk; }

// The typical stroke width: the median, over ink cells, of the shorter of the horizontal and the
// vertical run of ink through the cell.
int StrokeWidth(const Graymap &g) {
    std::vector<int> across((size_t)g.width * g.height, 0), down((size_t)g.width * g.height, 0);
    for (int y = 0; y < g.height; ++y) {
        for (int x = 0; x < g.width;) {
            int end = x;
            while (end < g.width && Ink(g, end, y)) ++end;
            for (int i = x; i < end; ++i) across[(size_t)y * g.width + i] = end - x;
            x = end == x ? x + 1 : end;
        }
    }
    for (int x = 0; x < g.width; ++x) {
        for (int y = 0; y < g.height;) {
            int end = y;
            while (end < g.height && Ink(g, x, end)) ++end;
            for (int i = y; i < end; ++i) down[(size_t)i * g.width + x] = end - y;
            y = end == y ? y + 1 : end;
        }
    }
    std::vector<int> runs;
    for (size_t i = 0; i < across.size(); ++i)
        if (across[i] > 0) runs.push_back(std::min(across[i], down[i]));
    if (runs.empty()) return 1;
    std::nth_element(runs.begin(), runs.begin() + runs.size() / 2, runs.end());
    return std::max(1, runs[runs.size() / 2]);
}

// Runs of rows holding ink.
std::vector<Band> InkBands(const Graymap &g) {
    std::vector<Band> bands;
    bool open = false;
    for (int y = 0; y < g.height; ++y) {
        bool ink = false;
        for (int x = 0; x < g.width && !ink; ++x) ink = Ink(g, x, y);
        if (ink && !open) bands.push_back({y, y + 1});
        if (ink) bands.back().bottom = y + 1;
        open = ink;
    }
    return bands;
}

// Joins each band thinner than `minHeight` to the neighbour across the smaller gap, thinnest first.
void JoinThinBands(std::vector<Band> &bands, int minHeight) {
    while (bands.size() > 1) {
        size_t thin = 0;
        for (size_t i = 1; i < bands.size(); ++i)
            if (bands[i].bottom - bands[i].top < bands[thin].bottom - bands[thin].top) thin = i;
        if (bands[thin].bottom - bands[thin].top >= minHeight) return;
        const int above = thin > 0 ? bands[thin].top - bands[thin - 1].bottom : INT32_MAX;
        const int below = thin + 1 < bands.size() ? bands[thin + 1].top - bands[thin].bottom : INT32_MAX;
        const size_t into = above <= below ? thin - 1 : thin + 1;
        bands[into].top = std::min(bands[into].top, bands[thin].top);
        bands[into].bottom = std::max(bands[into].bottom, bands[thin].bottom);
        bands.erase(bands.begin() + (std::ptrdiff_t)thin);
    }
}

// The cell at (x, y) of the line's crop, dark on white, sampled bilinearly at scale `s`.
uint8_t Sample(const Graymap &g, int left, int top, int width, int height, double x, double y) {
    x = std::clamp(x, 0.0, width - 1.0);
    y = std::clamp(y, 0.0, height - 1.0);
    const int x0 = (int)x, y0 = (int)y, x1 = std::min(x0 + 1, width - 1), y1 = std::min(y0 + 1, height - 1);
    const double fx = x - x0, fy = y - y0;
    auto at = [&](int cx, int cy) { return (double)g.cells[(size_t)(top + cy) * g.width + left + cx]; };
    const double v = (at(x0, y0) * (1 - fx) + at(x1, y0) * fx) * (1 - fy) + (at(x0, y1) * (1 - fx) + at(x1, y1) * fx) * fy;
    return (uint8_t)(255 - std::lround(v));
}

// The band's ink, cropped to its columns, inverted, scaled and framed in white.
LineImage LineOf(const Graymap &g, const Band &band) {
    int left = g.width, right = 0;
    for (int y = band.top; y < band.bottom; ++y)
        for (int x = 0; x < g.width; ++x)
            if (Ink(g, x, y)) left = std::min(left, x), right = std::max(right, x + 1);
    const int width = right - left, height = band.bottom - band.top;
    const double scale = height < kSmallLine ? std::min(kMaxScale, (double)kScaledHeight / height) : 1.0;
    LineImage line;
    const int inner = (int)std::lround(width * scale), innerHeight = (int)std::lround(height * scale);
    line.width = inner + 2 * kLineBorder;
    line.height = innerHeight + 2 * kLineBorder;
    line.pixels.assign((size_t)line.width * line.height, 255);
    for (int y = 0; y < innerHeight; ++y) {
        for (int x = 0; x < inner; ++x) {
            line.pixels[(size_t)(y + kLineBorder) * line.width + x + kLineBorder] =
                Sample(g, left, band.top, width, height, (x + 0.5) / scale - 0.5, (y + 0.5) / scale - 0.5);
        }
    }
    return line;
}

}  // namespace

std::vector<LineImage> TextLines(const Graymap &g) {
    std::vector<Band> bands = InkBands(g);
    if (bands.empty()) return {};
    JoinThinBands(bands, kMinLineStrokes * StrokeWidth(g));
    std::vector<LineImage> lines;
    for (const Band &band : bands) lines.push_back(LineOf(g, band));
    return lines;
}
