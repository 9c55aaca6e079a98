// The host's words back to 8-bit planar YUV, block by block (see host_to_yuv.h).
#include "cli/host_to_yuv.h"

#include <cmath>

namespace {

constexpr int kFraction = 16;

int32_t Fixed(double value) { return (int32_t)std::lround(value * (double)(1 << kFraction)); }

uint8_t Clamp8(int32_t v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }

// One block: its luma samples, then its chroma from the sum of its pixels (1, 2 or 4 of them).
void ConvertBlock(const YuvPlanes &t, const HostToYuvMatrix &m, int bx, int by, const uint8_t *row0, ptrdiff_t rowStride) {
    const int x0 = bx << t.chromaShiftX, y0 = by << t.chromaShiftY;
    const int x1 = x0 + (1 << t.chromaShiftX) < t.width ? x0 + (1 << t.chromaShiftX) : t.width;
    const int y1 = y0 + (1 << t.chromaShiftY) < t.height ? y0 + (1 << t.chromaShiftY) : t.height;
    const int32_t lumaBias = (m.lumaOffset << kFraction) + (1 << (kFraction - 1));
    int32_t red = 0, green = 0, blue = 0;
    for (int y = y0; y < y1; ++y) {
        const uint32_t *words = reinterpret_cast<const uint32_t *>(row0 + (ptrdiff_t)y * rowStride);
        uint8_t *luma = t.planes[0] + (ptrdiff_t)y * t.strides[0];
        for (int x = x0; x < x1; ++x) {
            const int32_t r = (int32_t)((words[x] >> 16) & 255), g = (int32_t)((words[x] >> 8) & 255),
                          b = (int32_t)(words[x] & 255);
            luma[x] = Clamp8((m.lumaRed * r + m.lumaGreen * g + m.lumaBlue * b + lumaBias) >> kFraction);
            red += r, green += g, blue += b;
        }
    }
    const int count = (x1 - x0) * (y1 - y0);
    const int shift = kFraction + (count == 4 ? 2 : count == 2 ? 1 : 0);
    const int32_t chromaBias = (128 << shift) + (1 << (shift - 1));
    const ptrdiff_t at = (ptrdiff_t)by * t.strides[1] + bx;
    t.planes[1][at] = Clamp8((m.uRed * red + m.uGreen * green + m.uBlue * blue + chromaBias) >> shift);
    const ptrdiff_t atV = (ptrdiff_t)by * t.strides[2] + bx;
    t.planes[2][atV] = Clamp8((m.vRed * red + m.vGreen * green + m.vBlue * blue + chromaBias) >> shift);
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
        for (int bx = 0; bx < blocksX; ++bx)
            if (row[bx]) ConvertBlock(target, matrix, bx, by, row0, rowStride);
    }
}
