// The plain records of the motion: a flow over a band of rows, and an 8-bit luma image of a band.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace temporal {

// A flow over a band at 1/scale of the luma resolution: entry (i, j) holds the motion (dx, dy),
// in luma pixels, of the luma point (i * scale + (scale - 1) / 2, band.top + j * scale + ...).
struct FlowField {
    int width = 0;
    int height = 0;
    int scale = 1;
    int top = 0;              // the band's first luma row
    std::vector<float> xy;    // dx, dy interleaved
};

// The motion at luma positions of one field, interpolated bilinearly and clamped to the field's
// edges, with the field's constants worked out once (a loop over a hole's samples would otherwise
// divide for each of them). The arithmetic is FlowAt's, so the values are the same.
struct FlowSampler {
    explicit FlowSampler(const FlowField &f)
        : xy(f.xy.data()), width(f.width), height(f.height), half((f.scale - 1) * 0.5f), inv(1.0f / (float)f.scale),
          top((float)f.top), lastX((float)(f.width - 1)), lastY((float)(f.height - 1)) {}
    void At(float lx, float ly, float &dx, float &dy) const {
        float fx = (lx - half) * inv, fy = (ly - top - half) * inv;
        fx = fx < 0 ? 0 : (fx > lastX ? lastX : fx);
        fy = fy < 0 ? 0 : (fy > lastY ? lastY : fy);
        const int x0 = (int)fx, y0 = (int)fy;
        const int x1 = x0 + 1 < width ? x0 + 1 : x0, y1 = y0 + 1 < height ? y0 + 1 : y0;
        const float ax = fx - (float)x0, ay = fy - (float)y0;
        const float *a = &xy[((size_t)y0 * width + x0) * 2], *b = &xy[((size_t)y0 * width + x1) * 2];
        const float *c = &xy[((size_t)y1 * width + x0) * 2], *d = &xy[((size_t)y1 * width + x1) * 2];
        dx = (1 - ay) * ((1 - ax) * a[0] + ax * b[0]) + ay * ((1 - ax) * c[0] + ax * d[0]);
        dy = (1 - ay) * ((1 - ax) * a[1] + ax * b[1]) + ay * ((1 - ax) * c[1] + ax * d[1]);
    }
    const float *xy;
    int width, height;
    float half, inv, top, lastX, lastY;
};

// The motion at a luma position, interpolated bilinearly and clamped to the field's edges.
inline void FlowAt(const FlowField &f, float lx, float ly, float &dx, float &dy) { FlowSampler(f).At(lx, ly, dx, dy); }

// An 8-bit luma image of a band, averaged down by `scale`.
struct BandImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};

}  // namespace temporal
