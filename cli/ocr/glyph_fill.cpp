// Telling the glyphs from their outline inside a graymap (see glyph_fill.h).
#include "cli/ocr/glyph_fill.h"

#include <algorithm>
#include <vector>

namespace {

// A cell at or above this value is inside the mask (as line_images.cpp counts ink).
constexpr uint8_t kInside = 64;
// Two tones: the smaller at least this share of the mask, their means this far apart.
constexpr double kMinToneShare = 1.0 / 6;
constexpr double kMinToneGap = 60;
// An outline is a band two pixels deep or more: at most this share of its cells lie on the
// mask's edge (0.27 to 0.42 on the benchmark's masks of glyphs and outline). The darker rim of
// a graymap of the glyphs alone, their anti-aliasing, lies on the edge (0.85 to 1.00).
constexpr double kMaxOutlineOnEdge = 0.6;

bool Inside(const Graymap &g, int x, int y) {
    return x >= 0 && y >= 0 && x < g.width && y < g.height && g.cells[(size_t)y * g.width + x] >= kInside;
}

// Otsu's threshold of the luma inside the mask: values above it are the light tone.
int SplitTones(const Graymap &mask, const LumaCrop &picture) {
    std::vector<double> hist(256, 0);
    double total = 0, sum = 0;
    for (size_t i = 0; i < mask.cells.size(); ++i) {
        if (mask.cells[i] < kInside) continue;
        hist[picture.luma[i]] += 1;
        total += 1;
        sum += picture.luma[i];
    }
    double below = 0, belowSum = 0, best = -1;
    int threshold = 128;
    for (int t = 0; t < 255; ++t) {
        below += hist[t];
        belowSum += t * hist[t];
        if (below == 0 || below == total) continue;
        const double darkMean = belowSum / below, lightMean = (sum - belowSum) / (total - below);
        const double between = below * (total - below) * (lightMean - darkMean) * (lightMean - darkMean);
        if (between > best) best = between, threshold = t;
    }
    return threshold;
}

struct Tone {
    double cells = 0, sum = 0, edge = 0;  // cells, their luma, those beside the mask's outside
};

}  // namespace

Graymap GlyphFill(const Graymap &mask, const LumaCrop &picture) {
    if (picture.width != mask.width || picture.height != mask.height) return mask;
    const int threshold = SplitTones(mask, picture);
    Tone dark, light;
    for (int y = 0; y < mask.height; ++y) {
        for (int x = 0; x < mask.width; ++x) {
            if (!Inside(mask, x, y)) continue;
            const uint8_t v = picture.luma[(size_t)y * mask.width + x];
            Tone &tone = v > threshold ? light : dark;
            tone.cells += 1;
            tone.sum += v;
            tone.edge += !Inside(mask, x - 1, y) || !Inside(mask, x + 1, y) || !Inside(mask, x, y - 1) || !Inside(mask, x, y + 1);
        }
    }
    const double all = dark.cells + light.cells;
    if (all == 0 || std::min(dark.cells, light.cells) < kMinToneShare * all ||
        light.sum / light.cells - dark.sum / dark.cells < kMinToneGap) {
        return mask;
    }
    // The outline wraps the glyphs: its tone lies along the mask's edge more often.
    const bool glyphsLight = dark.edge / dark.cells > light.edge / light.cells;
    const Tone &outline = glyphsLight ? dark : light;
    if (outline.edge / outline.cells > kMaxOutlineOnEdge) return mask;
    Graymap glyphs = mask;
    for (size_t i = 0; i < glyphs.cells.size(); ++i) {
        const bool light = picture.luma[i] > threshold;
        glyphs.cells[i] = mask.cells[i] >= kInside && light == glyphsLight ? 255 : 0;
    }
    return glyphs;
}
