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

// The motion at a luma position, interpolated bilinearly and clamped to the field's edges.
inline void FlowAt(const FlowField &f, float lx, float ly, float &dx, float &dy) {
    const float half = (f.scale - 1) * 0.5f, inv = 1.0f / (float)f.scale;
    float fx = (lx - half) * inv, fy = (ly - (float)f.top - half) * inv;
    fx = fx < 0 ? 0 : (fx > (float)(f.width - 1) ? (float)(f.width - 1) : fx);
    fy = fy < 0 ? 0 : (fy > (float)(f.height - 1) ? (float)(f.height - 1) : fy);
    const int x0 = (int)fx, y0 = (int)fy;
    const int x1 = x0 + 1 < f.width ? x0 + 1 : x0, y1 = y0 + 1 < f.height ? y0 + 1 : y0;
    const float ax = fx - (float)x0, ay = fy - (float)y0;
    const float *a = &f.xy[((size_t)y0 * f.width + x0) * 2], *b = &f.xy[((size_t)y0 * f.width + x1) * 2];
    const float *c = &f.xy[((size_t)y1 * f.width + x0) * 2], *d = &f.xy[((size_t)y1 * f.width + x1) * 2];
    dx = (1 - ay) * ((1 - ax) * a[0] + ax * b[0]) + ay * ((1 - ax) * c[0] + ax * d[0]);
    dy = (1 - ay) * ((1 - ax) * a[1] + ax * b[1]) + ay * ((1 - ax) * c[1] + ax * d[1]);
}

// An 8-bit luma image of a band, averaged down by `scale`.
struct BandImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};

}  // namespace temporal
