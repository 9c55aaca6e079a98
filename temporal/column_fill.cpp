// Column completion of a flow field (see column_fill.h).
#include "temporal/column_fill.h"

#include <algorithm>
#include <cmath>

namespace temporal {

namespace {

constexpr int kMaxEnds = 8;
constexpr int kMaxAcross = 4;

bool Known(const float *weights, int width, int x, int y) { return weights[(size_t)y * width + x] >= 1.0f; }

// The median motion of the known entries next to a run end: up to `ends` of them walking from row
// `from` by `step`, in column x and in the `across` columns on either side of it.
void EndMotion(const float *xy, const float *weights, int width, int height, int x, int from, int step,
               const ColumnFillSettings &s, float out[2]) {
    float values[2][kMaxEnds * (2 * kMaxAcross + 1)];
    int count = 0;
    const int ends = std::clamp(s.ends, 1, kMaxEnds), across = std::clamp(s.across, 0, kMaxAcross);
    for (int c = std::max(0, x - across); c <= std::min(width - 1, x + across); ++c) {
        for (int y = from, taken = 0; y >= 0 && y < height && taken < ends && Known(weights, width, c, y); y += step, ++taken) {
            values[0][count] = xy[((size_t)y * width + c) * 2];
            values[1][count] = xy[((size_t)y * width + c) * 2 + 1];
            ++count;
        }
    }
    for (int c = 0; c < 2; ++c) {
        std::nth_element(values[c], values[c] + count / 2, values[c] + count);
        out[c] = values[c][count / 2];
    }
}

// Rows [begin, end) of column x are unknown; rows begin - 1 and end are known.
void FillRun(float *xy, const float *weights, int width, int height, int x, int begin, int end,
             const ColumnFillSettings &s) {
    float above[2], below[2];
    EndMotion(xy, weights, width, height, x, begin - 1, -1, s, above);
    EndMotion(xy, weights, width, height, x, end, 1, s, below);
    const bool edge = std::hypot(above[0] - below[0], above[1] - below[1]) >= s.boundary;
    const float span = (float)(end - begin + 1);
    for (int y = begin; y < end; ++y) {
        float t = (float)(y - begin + 1) / span;
        if (edge) t = t < 0.5f ? 0.0f : 1.0f;
        float *o = &xy[((size_t)y * width + x) * 2];
        o[0] = above[0] + (below[0] - above[0]) * t;
        o[1] = above[1] + (below[1] - above[1]) * t;
    }
}

}  // namespace

int CompleteColumns(float *xy, float *weights, int width, int height, const ColumnFillSettings &settings) {
    // Runs are found on the weights as given, and marked known only once every column is done,
    // so that no column's ends take another column's fill.
    int left = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (int x = 0; x < width; ++x) {
            int y = 0;
            while (y < height) {
                if (Known(weights, width, x, y)) {
                    ++y;
                    continue;
                }
                int end = y;
                while (end < height && !Known(weights, width, x, end)) ++end;
                const bool ends = y > 0 && end < height;
                if (pass == 0 && ends) FillRun(xy, weights, width, height, x, y, end, settings);
                if (pass == 0 && !ends) left += end - y;
                if (pass == 1 && ends)
                    for (int k = y; k < end; ++k) weights[(size_t)k * width + x] = 1.0f;
                y = end;
            }
        }
    }
    return left;
}

}  // namespace temporal
