// Push-pull filling (see push_pull.h).
#include "temporal/push_pull.h"

#include <algorithm>
#include <cstddef>

namespace temporal {

namespace {

void Resize(std::vector<float> &v, size_t n) {
    if (v.size() < n) v.resize(n);
}

}  // namespace

bool PushPullFill::Fill(float *values, const float *weights, int width, int height, int channels) {
    if (width <= 0 || height <= 0) return false;
    bool any = false;
    const size_t n = (size_t)width * height;
    for (size_t i = 0; i < n && !any; ++i) any = weights[i] > 0.0f;
    if (!any) return false;
    if (levels_.empty()) levels_.resize(1);
    Level &top = levels_[0];
    top.width = width;
    top.height = height;
    Resize(top.sums, n * channels);
    Resize(top.weights, n);
    for (size_t i = 0; i < n; ++i) {
        const float w = std::min(1.0f, std::max(0.0f, weights[i]));
        top.weights[i] = w;
        for (int c = 0; c < channels; ++c) top.sums[i * channels + c] = values[i * channels + c] * w;
    }
    Push(channels);
    Pull(channels);
    const Level &filled = levels_[0];  // Push may have moved the levels
    for (size_t i = 0; i < n; ++i) {
        if (weights[i] >= 1.0f) continue;
        for (int c = 0; c < channels; ++c) values[i * channels + c] = filled.sums[i * channels + c];
    }
    return true;
}

// Down to a level of one entry: each entry sums the 2x2 cell above it.
void PushPullFill::Push(int channels) {
    size_t l = 0;
    while (levels_[l].width > 1 || levels_[l].height > 1) {
        if (levels_.size() < l + 2) levels_.resize(l + 2);
        const Level &up = levels_[l];
        Level &down = levels_[l + 1];
        down.width = (up.width + 1) / 2;
        down.height = (up.height + 1) / 2;
        Resize(down.sums, (size_t)down.width * down.height * channels);
        Resize(down.weights, (size_t)down.width * down.height);
        for (int y = 0; y < down.height; ++y) {
            for (int x = 0; x < down.width; ++x) {
                float w = 0.0f, s[4] = {0, 0, 0, 0};
                for (int dy = 0; dy < 2; ++dy) {
                    for (int dx = 0; dx < 2; ++dx) {
                        const int ux = std::min(2 * x + dx, up.width - 1), uy = std::min(2 * y + dy, up.height - 1);
                        const size_t i = (size_t)uy * up.width + ux;
                        w += up.weights[i];
                        for (int c = 0; c < channels; ++c) s[c] += up.sums[i * channels + c];
                    }
                }
                const size_t o = (size_t)y * down.width + x;
                // Capping the weight keeps the average: sums are scaled with it.
                const float scale = w > 1.0f ? 1.0f / w : 1.0f;
                down.weights[o] = w * scale;
                for (int c = 0; c < channels; ++c) down.sums[o * channels + c] = s[c] * scale;
            }
        }
        ++l;
    }
    levels_.resize(l + 1);
}

// Up again: each level's entries become full values, blended with the coarser level by weight.
// On return the top level's sums hold the filled values.
void PushPullFill::Pull(int channels) {
    Level &bottom = levels_.back();
    for (size_t i = 0; i < (size_t)bottom.width * bottom.height; ++i) {
        const float w = bottom.weights[i];
        for (int c = 0; c < channels; ++c) bottom.sums[i * channels + c] = w > 0.0f ? bottom.sums[i * channels + c] / w : 0.0f;
    }
    for (size_t l = levels_.size() - 1; l-- > 0;) {
        const Level &down = levels_[l + 1];
        Level &up = levels_[l];
        for (int y = 0; y < up.height; ++y) {
            // Entry centres of the coarse level sit at 2x + 0.5 on this one.
            const float fy = std::max(0.0f, std::min((y - 0.5f) * 0.5f, (float)(down.height - 1)));
            const int y0 = (int)fy, y1 = std::min(y0 + 1, down.height - 1);
            const float ay = fy - y0;
            for (int x = 0; x < up.width; ++x) {
                const float fx = std::max(0.0f, std::min((x - 0.5f) * 0.5f, (float)(down.width - 1)));
                const int x0 = (int)fx, x1 = std::min(x0 + 1, down.width - 1);
                const float ax = fx - x0;
                const size_t i = (size_t)y * up.width + x;
                const float w = up.weights[i];
                for (int c = 0; c < channels; ++c) {
                    const float *d = down.sums.data();
                    const float coarse = (1 - ay) * ((1 - ax) * d[((size_t)y0 * down.width + x0) * channels + c] +
                                                     ax * d[((size_t)y0 * down.width + x1) * channels + c]) +
                                         ay * ((1 - ax) * d[((size_t)y1 * down.width + x0) * channels + c] +
                                               ax * d[((size_t)y1 * down.width + x1) * channels + c]);
                    // sums hold value * w here; the coarse level gives the rest.
                    up.sums[i * channels + c] = up.sums[i * channels + c] + (1.0f - w) * coarse;
                }
            }
        }
    }
}

}  // namespace temporal
