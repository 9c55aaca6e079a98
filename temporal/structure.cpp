// The structure tensor of a luma band (see structure.h).
#include "temporal/structure.h"

#include <algorithm>
#include <cmath>

namespace temporal {

// Gradient products of row y, summed over the box along the row, into `row` (3 per pixel).
void StructureMeter::RowSums(const BandImage &image, int y, int r, float *row) {
    std::vector<float> &products = products_;
    const int w = image.width, h = image.height;
    const uint8_t *p = &image.pixels[(size_t)y * w];
    const uint8_t *up = &image.pixels[(size_t)std::max(0, y - 1) * w], *down = &image.pixels[(size_t)std::min(h - 1, y + 1) * w];
    for (int x = 0; x < w; ++x) {
        const float gx = 0.5f * ((float)p[std::min(w - 1, x + 1)] - (float)p[std::max(0, x - 1)]);
        const float gy = 0.5f * ((float)down[x] - (float)up[x]);
        products[(size_t)x * 3] = gx * gx;
        products[(size_t)x * 3 + 1] = gx * gy;
        products[(size_t)x * 3 + 2] = gy * gy;
    }
    float s[3] = {0, 0, 0};
    for (int x = 0; x < std::min(w, r); ++x)
        for (int c = 0; c < 3; ++c) s[c] += products[(size_t)x * 3 + c];
    for (int x = 0; x < w; ++x) {
        if (x + r < w)
            for (int c = 0; c < 3; ++c) s[c] += products[(size_t)(x + r) * 3 + c];
        if (x - r - 1 >= 0)
            for (int c = 0; c < 3; ++c) s[c] -= products[(size_t)(x - r - 1) * 3 + c];
        for (int c = 0; c < 3; ++c) row[(size_t)x * 3 + c] = s[c];
    }
}

namespace {

// An edge of 2 levels a pixel over a 7 x 7 box sums to about 50: well below that is flat.
constexpr float kFlat = 100.0f;

int8_t Quantise(float v) { return (int8_t)std::lround(std::clamp(v, -1.0f, 1.0f) * 127.0f); }

}  // namespace

void StructureMeter::Measure(const BandImage &image, int top, int r, StructureField &out) {
    const int w = image.width, h = image.height;
    out.width = (w + 1) / 2;
    out.height = (h + 1) / 2;
    out.top = top;
    out.shape.resize((size_t)out.width * out.height * 2);
    if (w <= 0 || h <= 0) return;
    // Each row's box sums go to a ring of 2r + 1 rows; a running sum down the columns adds the
    // row that enters the box and takes off the one that leaves it.
    products_.resize((size_t)w * 3);
    ring_.resize((size_t)(2 * r + 1) * w * 3);
    column_.assign((size_t)w * 3, 0.0f);
    auto ringRow = [&](int y) { return &ring_[(size_t)(y % (2 * r + 1)) * w * 3]; };
    auto add = [&](const float *row, float sign) {
        for (size_t k = 0; k < column_.size(); ++k) column_[k] += sign * row[k];
    };
    for (int y = 0; y < std::min(h, r); ++y) {
        RowSums(image, y, r, ringRow(y));
        add(ringRow(y), 1.0f);
    }
    for (int y = 0; y < h; ++y) {
        if (y + r < h) {
            RowSums(image, y + r, r, ringRow(y + r));
            add(ringRow(y + r), 1.0f);
        }
        if (y - r - 1 >= 0) add(ringRow(y - r - 1), -1.0f);
        if (y % 2) continue;
        int8_t *o = &out.shape[(size_t)(y / 2) * out.width * 2];
        for (int x = 0; x < w; x += 2) {
            const float *t = &column_[(size_t)x * 3];
            const float norm = 1.0f / (t[0] + t[2] + kFlat);
            o[x] = Quantise((t[0] - t[2]) * norm);
            o[x + 1] = Quantise(2.0f * t[1] * norm);
        }
    }
}

void StructureAt(const StructureField &f, float x, float y, float &u, float &v, float &coherence) {
    u = 1.0f, v = 0.0f, coherence = 0.0f;
    if (f.width <= 0 || f.height <= 0) return;
    const int ix = std::clamp((int)std::lround(x * 0.5f), 0, f.width - 1);
    const int iy = std::clamp((int)std::lround((y - (float)f.top) * 0.5f), 0, f.height - 1);
    const int8_t *t = &f.shape[((size_t)iy * f.width + ix) * 2];
    const float a = (float)t[0] / 127.0f, b = (float)t[1] / 127.0f;
    // (l1 - l2) / (l1 + l2 + flat) is the length of (a, b); its direction is twice the angle of
    // the main eigenvector.
    const float length = std::sqrt(a * a + b * b);
    coherence = std::min(1.0f, length);
    if (length > 0.0f) u = a / length, v = b / length;
}

}  // namespace temporal
