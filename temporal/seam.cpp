// Seam correction (see seam.h).
#include "temporal/seam.h"

#include <algorithm>
#include <climits>

namespace temporal {

void SeamCorrector::Correct(const PlaneRef &picture, const PlaneHole &ph, float *values, const uint8_t *valid) {
    const size_t n = (size_t)ph.ringEnd;
    if (ph.holeCount == ph.ringEnd) return;  // no ring: nothing to measure against
    int x0 = INT_MAX, y0 = INT_MAX, x1 = -1, y1 = -1;
    for (size_t k = 0; k < n; ++k) {
        const int x = ph.fill[k] % ph.width, y = ph.fill[k] / ph.width;
        x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    }
    const int w = x1 - x0 + 1, h = y1 - y0 + 1;
    field_.assign((size_t)w * h, 0.0f);
    weights_.assign((size_t)w * h, 0.0f);
    bool measured = false;
    for (size_t k = (size_t)ph.holeCount; k < n; ++k) {
        if (!valid[k]) continue;
        const int x = ph.fill[k] % ph.width, y = ph.fill[k] / ph.width;
        const size_t i = (size_t)(y - y0) * w + (x - x0);
        field_[i] = SampleAt(picture, x, y + ph.rows.top) - values[k];
        weights_[i] = 1.0f;
        measured = true;
    }
    if (!measured || !fill_.Fill(field_.data(), weights_.data(), w, h, 1)) return;
    for (size_t k = 0; k < (size_t)ph.holeCount; ++k) {
        if (!valid[k]) continue;
        const int x = ph.fill[k] % ph.width, y = ph.fill[k] / ph.width;
        values[k] += field_[(size_t)(y - y0) * w + (x - x0)];
    }
}

}  // namespace temporal
