// The host's words back to 8-bit planar YUV, run of marked blocks by run (see host_to_yuv.h).
#include "cli/colour/host_to_yuv.h"

#include <cmath>

namespace {

constexpr int kFraction = 16;

int32_t Fixed(double value) { return (int32_t)std::lround(value * (double)(1 << kFraction)); }

uint8_t Clamp8(int32_t v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }

// Luma of pixels [x0, x1) of picture row y, from that row's words.
void LumaRow(const YuvPlanes &t, const HostToYuvMatrix &m, int y, int x0, int x1, const uint32_t *words) {
    uint8_t *luma = t.planes[0] + (ptrdiff_t)y * t.strides[0];
    const int32_t bias = (m.lumaOffset << kFraction) + (1 << (kFraction - 1));
    for (int x = x0; x < x1; ++x) {
        const int32_t r = (int32_t)((words[x] >> 16) & 255), g = (int32_t)((words[x] >> 8) & 255),
                      b = (int32_t)(words[x] & 255);
        luma[x] = Clamp8((m.lumaRed * r + m.lumaGreen * g + m.lumaBlue * b + bias) >> kFraction);
    }
}

// A run of marked blocks [bx0, bx1) of block row by: the luma of their pixels, row by row, then
// each block's chroma from the sum of its pixels (1, 2 or 4 of them).
void ConvertRun(const YuvPlanes &t, const HostToYuvMatrix &m, int by, int bx0, int bx1, const uint8_t *row0,
                ptrdiff_t rowStride) {
    const int w = 1 << t.chromaShiftX, h = 1 << t.chromaShiftY;
    const int y0 = by * h, y1 = y0 + h < t.height ? y0 + h : t.height;
    const int x0 = bx0 * w, x1 = bx1 * w < t.width ? bx1 * w : t.width;
    for (int y = y0; y < y1; ++y)
        LumaRow(t, m, y, x0, x1, reinterpret_cast<const uint32_t *>(row0 + (ptrdiff_t)y * rowStride));
    uint8_t *u = t.planes[1] + (ptrdiff_t)by * t.strides[1], *v = t.planes[2] + (ptrdiff_t)by * t.strides[2];
    for (int bx = bx0; bx < bx1; ++bx) {
        const int xa = bx * w, xb = xa + w < t.width ? xa + w : t.width;
        int32_t red = 0, green = 0, blue = 0;
        for (int y = y0; y < y1; ++y) {
            const uint32_t *words = reinterpret_cast<const uint32_t *>(row0 + (ptrdiff_t)y * rowStride);
            for (int x = xa; x < xb; ++x) {
                red += (int32_t)((words[x] >> 16) & 255);
                green += (int32_t)((words[x] >> 8) & 255);
                blue += (int32_t)(words[x] & 255);
            }
        }
        const int count = (xb - xa) * (y1 - y0);
        const int shift = kFraction + (count == 4 ? 2 : count == 2 ? 1 : 0);
        const int32_t bias = (128 << shift) + (1 << (shift - 1));
        u[bx] = Clamp8((m.uRed * red + m.uGreen * green + m.uBlue * blue + bias) >> shift);
        v[bx] = Clamp8((m.vRed * red + m.vGreen * green + m.vBlue * blue + bias) >> shift);
    }
}

}  // namespace

HostToYuvMatrix MakeHostToYuvMatrix(double kr, double kb, bool fullRange) {
    const double lumaScale = fullRange ? 1.0 : 219.0 / 255.0;
    const double chromaScale = fullRange ? 1.0 : 224.0 / 255.0;
    HostToYuvMatrix m;
    // Each row's coefficients sum exactly to what grey needs: full luma, no chroma.
    m.lumaRed = Fixed(lumaScale * kr);
    m.lumaBlue = Fixed(lumaScale * kb);
    m.lumaGreen = Fixed(lumaScale) - m.lumaRed - m.lumaBlue;
    m.uRed = Fixed(-chromaScale * kr / (2.0 * (1.0 - kb)));
    m.uBlue = Fixed(chromaScale / 2.0);
    m.uGreen = -m.uRed - m.uBlue;
    m.vRed = Fixed(chromaScale / 2.0);
    m.vBlue = Fixed(-chromaScale * kb / (2.0 * (1.0 - kr)));
    m.vGreen = -m.vRed - m.vBlue;
    m.lumaOffset = fullRange ? 0 : 16;
    return m;
}

void HostBlocksToYuv(const YuvPlanes &target, const HostToYuvMatrix &matrix, const uint8_t *flags, int blocksX,
                     int blockRowBegin, int blockRowEnd, const uint8_t *row0, ptrdiff_t rowStride) {
    for (int by = blockRowBegin; by < blockRowEnd; ++by) {
        const uint8_t *row = flags + (ptrdiff_t)by * blocksX;
        for (int bx = 0; bx < blocksX;) {
            if (!row[bx]) {
                ++bx;
                continue;
            }
            int end = bx + 1;
            while (end < blocksX && row[end]) ++end;
            ConvertRun(target, matrix, by, bx, end, row0, rowStride);
            bx = end;
        }
    }
}
