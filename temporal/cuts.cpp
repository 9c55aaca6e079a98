// Shot cut detection (see cuts.h).
#include "temporal/cuts.h"

#include "temporal/hole.h"

#include <algorithm>
#include <cmath>

namespace temporal {

void MakeSignature(const PlaneRef &luma, int maxValue, const PlaneHole *hole, PictureSignature &out) {
    constexpr int kCells = 16, kPerCell = 8;  // 8x8 samples per cell
    const float scale = 255.0f / (float)maxValue;
    std::fill(out.histogram, out.histogram + 32, 0.0f);
    int samples = 0;
    for (int cy = 0; cy < kCells; ++cy) {
        for (int cx = 0; cx < kCells; ++cx) {
            float sum = 0.0f;
            int seen = 0;
            for (int j = 0; j < kPerCell; ++j) {
                const int y = (int)(((cy * kPerCell + j) * 2 + 1) * (int64_t)luma.height / (2 * kCells * kPerCell));
                for (int i = 0; i < kPerCell; ++i) {
                    const int x = (int)(((cx * kPerCell + i) * 2 + 1) * (int64_t)luma.width / (2 * kCells * kPerCell));
                    if (hole && hole->KindAt(x, y) != kVisible) continue;
                    const float v = SampleAt(luma, x, y) * scale;
                    sum += v;
                    out.histogram[std::min(31, (int)(v * (32.0f / 256.0f)))] += 1.0f;
                    ++samples;
                    ++seen;
                }
            }
            out.cellSeen[cy * kCells + cx] = seen > 0;
            out.thumbnail[cy * kCells + cx] = seen > 0 ? sum / (float)seen : 0.0f;
        }
    }
    for (float &h : out.histogram) h /= (float)std::max(1, samples);
}

bool IsCut(const PictureSignature &before, const PictureSignature &after, const CutThresholds &t) {
    float thumb = 0.0f, hist = 0.0f;
    int cells = 0;
    for (int i = 0; i < 16 * 16; ++i) {
        if (!before.cellSeen[i] || !after.cellSeen[i]) continue;
        thumb += std::fabs(before.thumbnail[i] - after.thumbnail[i]);
        ++cells;
    }
    for (int i = 0; i < 32; ++i) hist += std::fabs(before.histogram[i] - after.histogram[i]);
    return (cells > 0 && thumb / (float)cells > t.thumbnail) || hist * 0.5f > t.histogram;
}

}  // namespace temporal
