// 8-bit planar YUV to the host's words (see yuv_to_host.h).
#include "cli/colour/yuv_to_host.h"

#include <cmath>

namespace {

constexpr int kFraction = 20;        // fraction bits of a channel before its rounding
constexpr int32_t kChromaZero = 16 * 128;  // neutral chroma in sixteenths of a code

int32_t Fixed(double value, int bits) { return (int32_t)std::lround(value * (double)(1 << bits)); }

int ChromaWidth(const YuvPlanes &p) { return (p.width + p.chromaShiftX) >> p.chromaShiftX; }
int ChromaHeight(const YuvPlanes &p) { return (p.height + p.chromaShiftY) >> p.chromaShiftY; }

// One plane's chroma for picture row r, blended vertically: four times a code.
void ChromaRow(const YuvPlanes &p, int plane, int r, int32_t *out) {
    const int n = ChromaWidth(p);
    const uint8_t *base = p.planes[plane];
    if (!p.chromaShiftY) {
        const uint8_t *row = base + (ptrdiff_t)r * p.strides[plane];
        for (int i = 0; i < n; ++i) out[i] = 4 * row[i];
        return;
    }
    // Row r lies in chroma row r/2; an even row's other neighbour is the chroma row above it, an
    // odd row's the one below (clamped to the picture, not to the rows converted).
    const int k = r >> 1, last = ChromaHeight(p) - 1;
    const int other = (r & 1) ? (k < last ? k + 1 : last) : (k > 0 ? k - 1 : 0);
    const uint8_t *nearRow = base + (ptrdiff_t)k * p.strides[plane];
    const uint8_t *farRow = base + (ptrdiff_t)other * p.strides[plane];
    for (int i = 0; i < n; ++i) out[i] = 3 * nearRow[i] + farRow[i];
}

// Chroma per pixel from a blended chroma row, in sixteenths of a code minus kChromaZero.
void SpreadChroma(const YuvPlanes &p, const int32_t *row, int32_t *out) {
    const int w = p.width;
    if (!p.chromaShiftX) {
        for (int x = 0; x < w; ++x) out[x] = 4 * row[x] - kChromaZero;
        return;
    }
    // Pixel 2j takes chroma j and j - 1, pixel 2j + 1 chroma j and j + 1; the edge samples stand
    // in past the edges. The loop over the inner samples has no edge test, so it vectorises.
    const int n = ChromaWidth(p), last = n - 1;
    out[0] = 4 * row[0] - kChromaZero;
    for (int j = 1; j < last; ++j) {
        out[2 * j] = 3 * row[j] + row[j - 1] - kChromaZero;
        out[2 * j + 1] = 3 * row[j] + row[j + 1] - kChromaZero;
    }
    if (last > 0) {
        out[1] = 3 * row[0] + row[1] - kChromaZero;
        out[2 * last] = 3 * row[last] + row[last - 1] - kChromaZero;
    }
    if (2 * last + 1 < w) out[2 * last + 1] = 4 * row[last] - kChromaZero;
}

uint32_t Clamp8(int32_t v) { return v < 0 ? 0u : v > 255 ? 255u : (uint32_t)v; }

void PaintRow(const uint8_t *luma, const int32_t *u, const int32_t *v, int w, const YuvToHostMatrix &m, uint32_t *out) {
    const int32_t half = 1 << (kFraction - 1);
    for (int x = 0; x < w; ++x) {
        const int32_t y = m.luma * ((int32_t)luma[x] - m.lumaOffset) + half;
        const int32_t red = (y + m.redV * v[x]) >> kFraction;
        const int32_t green = (y - m.greenU * u[x] - m.greenV * v[x]) >> kFraction;
        const int32_t blue = (y + m.blueU * u[x]) >> kFraction;
        out[x] = (Clamp8(red) << 16) | (Clamp8(green) << 8) | Clamp8(blue);
    }
}

}  // namespace

YuvToHostMatrix MakeYuvToHostMatrix(double kr, double kb, bool fullRange) {
    const double kg = 1.0 - kr - kb;
    const double lumaScale = fullRange ? 1.0 : 255.0 / 219.0;
    const double chromaScale = fullRange ? 1.0 : 255.0 / 224.0;
    // Chroma arrives as 16 x a code, so its coefficients carry 4 fraction bits fewer.
    const int chromaBits = kFraction - 4;
    YuvToHostMatrix m;
    m.luma = Fixed(lumaScale, kFraction);
    m.redV = Fixed(chromaScale * 2.0 * (1.0 - kr), chromaBits);
    m.greenU = Fixed(chromaScale * 2.0 * (1.0 - kb) * kb / kg, chromaBits);
    m.greenV = Fixed(chromaScale * 2.0 * (1.0 - kr) * kr / kg, chromaBits);
    m.blueU = Fixed(chromaScale * 2.0 * (1.0 - kb), chromaBits);
    m.lumaOffset = fullRange ? 0 : 16;
    return m;
}

size_t YuvToHostScratch(int width, int chromaShiftX) {
    return 2 * (size_t)((width + chromaShiftX) >> chromaShiftX) + 2 * (size_t)width;
}

void YuvToHost(const YuvPlanes &picture, const YuvToHostMatrix &matrix, int rowBegin, int rowEnd, uint8_t *row0,
               ptrdiff_t rowStride, int32_t *scratch) {
    const int n = ChromaWidth(picture), w = picture.width;
    int32_t *blendedU = scratch, *blendedV = scratch + n;
    int32_t *u = scratch + 2 * n, *v = u + w;
    for (int r = rowBegin; r < rowEnd; ++r) {
        ChromaRow(picture, 1, r, blendedU);
        ChromaRow(picture, 2, r, blendedV);
        SpreadChroma(picture, blendedU, u);
        SpreadChroma(picture, blendedV, v);
        const uint8_t *luma = picture.planes[0] + (ptrdiff_t)r * picture.strides[0];
        PaintRow(luma, u, v, w, matrix, reinterpret_cast<uint32_t *>(row0 + (ptrdiff_t)r * rowStride));
    }
}
