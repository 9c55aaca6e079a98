// The conversions of 8-bit planar YUV to the host's words and back, on their own: against the
// conversions worked out in doubles from their definitions, and through each other and the scaler.
#include <gtest/gtest.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

#include "cli/colour/host_to_yuv.h"
#include "cli/colour/yuv_to_host.h"

namespace {

struct Weights {
    double kr, kb;
};
// BT.601, BT.709, FCC, SMPTE 240M, BT.2020.
const Weights kMatrices[] = {{0.299, 0.114}, {0.2126, 0.0722}, {0.30, 0.11}, {0.212, 0.087}, {0.2627, 0.0593}};

struct Planes {
    int w, h, sx, sy;
    std::vector<uint8_t> p[3];
    int cw() const { return (w + sx) >> sx; }
    int ch() const { return (h + sy) >> sy; }
    YuvPlanes Picture() const {
        YuvPlanes pic{};
        for (int i = 0; i < 3; ++i) pic.planes[i] = const_cast<uint8_t *>(p[i].data());  // read only
        pic.strides[0] = w;
        pic.strides[1] = pic.strides[2] = cw();
        pic.width = w;
        pic.height = h;
        pic.chromaShiftX = sx;
        pic.chromaShiftY = sy;
        return pic;
    }
};

Planes RandomPlanes(std::mt19937 &random, int w, int h, int sx, int sy) {
    Planes planes{w, h, sx, sy, {}};
    planes.p[0].resize((size_t)w * h);
    planes.p[1].resize((size_t)planes.cw() * planes.ch());
    planes.p[2].resize(planes.p[1].size());
    for (auto &plane : planes.p)
        for (auto &s : plane) s = (uint8_t)(random() & 255);
    return planes;
}

// Chroma at pixel (x, y) by the definition: 3/4 of the sample the pixel lies in, 1/4 of the next
// one towards the pixel's side, per subsampled direction, edge samples repeated.
double ChromaAt(const Planes &pl, int plane, int x, int y) {
    auto taps = [](int pos, int shift, int n, int &a, int &b) {
        a = pos >> shift;
        b = !shift ? a : (pos & 1) ? std::min(a + 1, n - 1) : std::max(a - 1, 0);
    };
    int x0, x1, y0, y1;
    taps(x, pl.sx, pl.cw(), x0, x1);
    taps(y, pl.sy, pl.ch(), y0, y1);
    auto at = [&](int cx, int cy) { return (double)pl.p[plane][(size_t)cy * pl.cw() + cx]; };
    const double near = 0.75 * at(x0, y0) + 0.25 * at(x1, y0), far = 0.75 * at(x0, y1) + 0.25 * at(x1, y1);
    return 0.75 * near + 0.25 * far;
}

// The exact channel values (before rounding) of pixel (x, y) on the way to the host.
void ExactRgb(const Planes &pl, const Weights &m, bool full, int x, int y, double rgb[3]) {
    const double ys = full ? 1.0 : 255.0 / 219.0, cs = full ? 1.0 : 255.0 / 224.0;
    const double luma = ys * (pl.p[0][(size_t)y * pl.w + x] - (full ? 0 : 16));
    const double cb = cs * (ChromaAt(pl, 1, x, y) - 128), cr = cs * (ChromaAt(pl, 2, x, y) - 128);
    const double kg = 1 - m.kr - m.kb;
    rgb[0] = luma + 2 * (1 - m.kr) * cr;
    rgb[2] = luma + 2 * (1 - m.kb) * cb;
    rgb[1] = (luma - m.kr * rgb[0] - m.kb * rgb[2]) / kg;
}

std::vector<uint32_t> Convert(const Planes &pl, const YuvToHostMatrix &m, int begin, int end) {
    // Bottom-up rows with one spare row above and below, as the host lays them out.
    std::vector<uint32_t> words((size_t)pl.w * (pl.h + 2), 0xDEADBEEFu);
    std::vector<int32_t> scratch(YuvToHostScratch(pl.w, pl.sx));
    uint8_t *row0 = reinterpret_cast<uint8_t *>(words.data() + (size_t)pl.w * pl.h);
    YuvToHost(pl.Picture(), m, begin, end, row0, -(ptrdiff_t)pl.w * 4, scratch.data());
    return words;
}
uint32_t WordAt(const std::vector<uint32_t> &words, const Planes &pl, int x, int y) {
    return words[(size_t)(pl.h - y) * pl.w + x];
}

// The exact luma and chroma of RGB (r, g, b) on the way back, before rounding.
void ExactYuv(const Weights &m, bool full, double r, double g, double b, double yuv[3]) {
    const double kg = 1 - m.kr - m.kb, ys = full ? 1.0 : 219.0 / 255.0, cs = full ? 1.0 : 224.0 / 255.0;
    const double luma = m.kr * r + kg * g + m.kb * b;
    yuv[0] = (full ? 0 : 16) + ys * luma;
    yuv[1] = 128 + cs * (b - luma) / (2 * (1 - m.kb));
    yuv[2] = 128 + cs * (r - luma) / (2 * (1 - m.kr));
}

// Expects `got` to be `exact` clamped and rounded; within half a code where that lies near a half.
void ExpectRounded(int got, double exact, int &nearHalf) {
    const double clamped = std::min(255.0, std::max(0.0, exact));
    if (std::fabs(clamped - std::floor(clamped) - 0.5) < 0.01) {
        ++nearHalf;
        ASSERT_LE(std::fabs(got - clamped), 0.51);
    } else {
        ASSERT_EQ(got, (int)std::lround(clamped));
    }
}

// Converts the flagged blocks of host words `words` (picture row r at memory row h - 1 - r) into
// planes filled with `fill`.
Planes Back(const std::vector<uint32_t> &words, const std::vector<uint8_t> &flags, const Planes &shape,
            const HostToYuvMatrix &m, uint8_t fill) {
    Planes out{shape.w, shape.h, shape.sx, shape.sy, {}};
    out.p[0].assign((size_t)out.w * out.h, fill);
    out.p[1].assign((size_t)out.cw() * out.ch(), fill);
    out.p[2].assign(out.p[1].size(), fill);
    YuvPlanes t{};
    for (int i = 0; i < 3; ++i) t.planes[i] = out.p[i].data();
    t.strides[0] = out.w;
    t.strides[1] = t.strides[2] = out.cw();
    t.width = out.w;
    t.height = out.h;
    t.chromaShiftX = out.sx;
    t.chromaShiftY = out.sy;
    const uint8_t *row0 = reinterpret_cast<const uint8_t *>(words.data() + (size_t)(out.h - 1) * out.w);
    HostBlocksToYuv(t, m, flags.data(), out.cw(), 0, out.ch(), row0, -(ptrdiff_t)out.w * 4);
    return out;
}

}  // namespace

// Guards the coefficients, the chroma siting and its edges, the ranges and the rounding: every
// channel is the exactly rounded value, but where that value lies within 0.01 of a half.
TEST(YuvToHost, EveryChannelIsTheExactValueRounded) {
    std::mt19937 random(5);
    const int shifts[3][2] = {{1, 1}, {1, 0}, {0, 0}};
    int checked = 0, nearHalf = 0;
    for (const Weights &m : kMatrices)
        for (bool full : {false, true})
            for (auto &s : shifts)
                for (int size : {0, 1}) {
                    const int w = size ? 37 : 8, h = size ? 9 : 6;  // odd sizes end on a half chroma sample
                    const Planes pl = RandomPlanes(random, w, h, s[0], s[1]);
                    const std::vector<uint32_t> words = Convert(pl, MakeYuvToHostMatrix(m.kr, m.kb, full), 0, h);
                    for (int y = 0; y < h; ++y)
                        for (int x = 0; x < w; ++x) {
                            double exact[3];
                            ExactRgb(pl, m, full, x, y, exact);
                            const uint32_t word = WordAt(words, pl, x, y);
                            ASSERT_EQ(word >> 24, 0u);
                            for (int c = 0; c < 3; ++c) {
                                const double clamped = std::min(255.0, std::max(0.0, exact[c]));
                                const int got = (int)((word >> (16 - 8 * c)) & 255);
                                const double fraction = clamped - std::floor(clamped);
                                if (std::fabs(fraction - 0.5) < 0.01) {
                                    ++nearHalf;
                                    ASSERT_LE(std::fabs(got - clamped), 0.51) << x << "," << y << " channel " << c;
                                } else {
                                    ASSERT_EQ(got, (int)std::lround(clamped)) << x << "," << y << " channel " << c;
                                }
                                ++checked;
                            }
                        }
                }
    EXPECT_LT(nearHalf * 20, checked);
}

// Guards a band's edge rows taking their chroma from within the band (the scaler's band
// conversion did) and writes outside the band: rows converted in bands equal the whole picture's.
TEST(YuvToHost, ARowDoesNotDependOnTheRowsConvertedWithIt) {
    std::mt19937 random(9);
    const Planes pl = RandomPlanes(random, 23, 15, 1, 1);
    const YuvToHostMatrix m = MakeYuvToHostMatrix(0.2126, 0.0722, false);
    const std::vector<uint32_t> whole = Convert(pl, m, 0, pl.h);
    for (int begin = 0; begin < pl.h; ++begin)
        for (int end = begin + 1; end <= pl.h; ++end) {
            const std::vector<uint32_t> band = Convert(pl, m, begin, end);
            for (int y = -1; y <= pl.h; ++y)
                for (int x = 0; x < pl.w; ++x) {
                    const size_t i = (size_t)(pl.h - y) * pl.w + x;
                    if (y >= begin && y < end)
                        ASSERT_EQ(band[i], whole[i]) << "rows " << begin << ".." << end << " at " << x << "," << y;
                    else
                        ASSERT_EQ(band[i], 0xDEADBEEFu) << "rows " << begin << ".." << end << " wrote row " << y;
                }
        }
}

// Guards a chroma siting other than the scaler's: pictures that go to the host this way and come
// back through the scaler (as the filter's changed blocks do) keep their chroma ramps in place; a
// siting off by a quarter sample would move a ramp of 3 codes a sample by 0.75 codes, all one way.
TEST(YuvToHost, ChromaComesBackInPlaceThroughTheScaler) {
    const int w = 64, h = 48;
    Planes pl{w, h, 1, 1, {}};
    pl.p[0].assign((size_t)w * h, 128);
    pl.p[1].resize((size_t)pl.cw() * pl.ch());
    pl.p[2].resize(pl.p[1].size());
    for (int y = 0; y < pl.ch(); ++y)
        for (int x = 0; x < pl.cw(); ++x) {
            pl.p[1][(size_t)y * pl.cw() + x] = (uint8_t)(80 + 3 * x);  // horizontal ramp
            pl.p[2][(size_t)y * pl.cw() + x] = (uint8_t)(90 + 3 * y);  // vertical ramp
        }
    const std::vector<uint32_t> words = Convert(pl, MakeYuvToHostMatrix(0.299, 0.114, false), 0, h);
    SwsContext *back = sws_getContext(w, h, AV_PIX_FMT_BGR0, w, h, AV_PIX_FMT_YUV420P,
                                      SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP, nullptr,
                                      nullptr, nullptr);
    ASSERT_NE(back, nullptr);
    sws_setColorspaceDetails(back, sws_getCoefficients(SWS_CS_ITU601), 1, sws_getCoefficients(SWS_CS_ITU601), 0, 0,
                             1 << 16, 1 << 16);
    std::vector<uint8_t> y(pl.p[0].size()), u(pl.p[1].size()), v(pl.p[2].size());
    const uint8_t *src[4] = {reinterpret_cast<const uint8_t *>(words.data() + (size_t)w * h), nullptr, nullptr, nullptr};
    const int srcStride[4] = {-4 * w, 0, 0, 0};
    uint8_t *dst[4] = {y.data(), u.data(), v.data(), nullptr};
    const int dstStride[4] = {w, pl.cw(), pl.cw(), 0};
    sws_scale(back, src, srcStride, 0, h, dst, dstStride);
    sws_freeContext(back);
    // Away from the picture's edges, where the two filters' edge rules differ.
    double driftU = 0, driftV = 0;
    int n = 0;
    for (int cy = 2; cy < pl.ch() - 2; ++cy)
        for (int cx = 2; cx < pl.cw() - 2; ++cx, ++n) {
            const size_t i = (size_t)cy * pl.cw() + cx;
            ASSERT_LE(std::abs(u[i] - pl.p[1][i]), 1) << cx << "," << cy;
            ASSERT_LE(std::abs(v[i] - pl.p[2][i]), 1) << cx << "," << cy;
            driftU += u[i] - pl.p[1][i];
            driftV += v[i] - pl.p[2][i];
        }
    EXPECT_LT(std::fabs(driftU / n), 0.25);
    EXPECT_LT(std::fabs(driftV / n), 0.25);
}

// Guards the coefficients, the block geometry at odd edges, the mean of a block's pixels and
// writes outside the marked blocks: every marked block's samples are the exact values rounded,
// every other sample is left as it was.
TEST(HostToYuv, MarkedBlocksGetTheExactValuesRoundedAndNothingElseIsWritten) {
    std::mt19937 random(11);
    const int shifts[3][2] = {{1, 1}, {1, 0}, {0, 0}};
    int nearHalf = 0, checked = 0;
    for (const Weights &m : kMatrices)
        for (bool full : {false, true})
            for (auto &s : shifts) {
                const Planes shape{13, 7, s[0], s[1], {}};
                std::vector<uint32_t> words((size_t)shape.w * shape.h);
                for (auto &w : words) w = (uint32_t)random();  // the top byte is not colour
                std::vector<uint8_t> flags((size_t)shape.cw() * shape.ch());
                for (auto &f : flags) f = (uint8_t)(random() % 3 == 0);
                const Planes out = Back(words, flags, shape, MakeHostToYuvMatrix(m.kr, m.kb, full), 7);
                auto rgbAt = [&](int x, int y, double c[3]) {
                    const uint32_t w = words[(size_t)(shape.h - 1 - y) * shape.w + x];
                    c[0] = (w >> 16) & 255, c[1] = (w >> 8) & 255, c[2] = w & 255;
                };
                for (int by = 0; by < shape.ch(); ++by)
                    for (int bx = 0; bx < shape.cw(); ++bx) {
                        const bool marked = flags[(size_t)by * shape.cw() + bx];
                        double mean[3] = {0, 0, 0};
                        int n = 0;
                        for (int y = by << s[1]; y < std::min(shape.h, (by + 1) << s[1]); ++y)
                            for (int x = bx << s[0]; x < std::min(shape.w, (bx + 1) << s[0]); ++x, ++n) {
                                double c[3], yuv[3];
                                rgbAt(x, y, c);
                                for (int k = 0; k < 3; ++k) mean[k] += c[k];
                                ExactYuv(m, full, c[0], c[1], c[2], yuv);
                                const int got = out.p[0][(size_t)y * shape.w + x];
                                if (marked) ExpectRounded(got, yuv[0], nearHalf);
                                else ASSERT_EQ(got, 7);
                                ++checked;
                            }
                        double yuv[3];
                        ExactYuv(m, full, mean[0] / n, mean[1] / n, mean[2] / n, yuv);
                        for (int p = 1; p <= 2; ++p) {
                            const int got = out.p[p][(size_t)by * shape.cw() + bx];
                            if (marked) ExpectRounded(got, yuv[p], nearHalf);
                            else ASSERT_EQ(got, 7);
                            ++checked;
                        }
                        if (HasFatalFailure()) return;
                    }
            }
    EXPECT_LT(nearHalf * 20, checked);
}

// Guards the two directions disagreeing on where chroma lies or on the matrix: a picture that goes
// to the host and comes back whole keeps every sample within a code (the 8-bit RGB between them
// rounds), and its chroma ramps in place: a quarter sample off would move them by a code.
TEST(HostToYuv, APictureComesBackFromTheHostAsItWent) {
    const int shifts[3][2] = {{1, 1}, {1, 0}, {0, 0}};
    for (const Weights &m : kMatrices)
        for (bool full : {false, true})
            for (auto &s : shifts) {
                Planes pl{40, 24, s[0], s[1], {}};
                pl.p[0].assign((size_t)pl.w * pl.h, 120);
                pl.p[1].resize((size_t)pl.cw() * pl.ch());
                pl.p[2].resize(pl.p[1].size());
                for (int y = 0; y < pl.ch(); ++y)
                    for (int x = 0; x < pl.cw(); ++x) {
                        // 4 (2 at full width) codes a sample across, in gamut for every matrix.
                        const int slope = s[0] ? 4 : 2;
                        pl.p[1][(size_t)y * pl.cw() + x] = (uint8_t)(90 + slope * x);
                        pl.p[2][(size_t)y * pl.cw() + x] = (uint8_t)(160 - slope * x + 24 * y / pl.ch());
                    }
                const std::vector<uint32_t> there = Convert(pl, MakeYuvToHostMatrix(m.kr, m.kb, full), 0, pl.h);
                // Convert's words have a spare row on each side; Back takes the picture's rows only.
                const std::vector<uint32_t> words(there.begin() + pl.w, there.end() - pl.w);
                const std::vector<uint8_t> all((size_t)pl.cw() * pl.ch(), 1);
                const Planes back = Back(words, all, pl, MakeHostToYuvMatrix(m.kr, m.kb, full), 0);
                for (int p = 0; p < 3; ++p) {
                    const int w = p ? pl.cw() : pl.w, h = p ? pl.ch() : pl.h;
                    double drift = 0;
                    int n = 0;
                    for (int y = 1; y < h - 1; ++y)
                        for (int x = 1; x < w - 1; ++x, ++n) {
                            const size_t i = (size_t)y * w + x;
                            ASSERT_LE(std::abs(back.p[p][i] - pl.p[p][i]), 1)
                                << "plane " << p << " at " << x << "," << y << " shifts " << s[0] << s[1] << " full " << full;
                            drift += back.p[p][i] - pl.p[p][i];
                        }
                    EXPECT_LT(std::fabs(drift / n), 0.3) << "plane " << p << " shifts " << s[0] << s[1] << " full " << full;
                }
            }
}
