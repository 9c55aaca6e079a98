// The camera's affine motion over a band (see global_motion.h).
#include "temporal/global_motion.h"

#include <algorithm>
#include <cmath>

namespace temporal {

namespace {

constexpr int kMinEntries = 32;
constexpr int kRounds = 5;
// Every other entry each way: a quarter of the work, and still thousands of entries in a band.
constexpr int kStride = 2;

// The luma point of entry (i, j).
void EntryPoint(const FlowField &f, int i, int j, float &x, float &y) {
    const float half = (float)(f.scale - 1) * 0.5f;
    x = (float)(i * f.scale) + half;
    y = (float)(f.top + j * f.scale) + half;
}

bool Known(const float *weights, size_t k) { return !weights || weights[k] >= 1.0f; }

// Solves the 3x3 system a x = b (symmetric, positive); false when it is singular.
bool Solve3(double a[3][3], double b[3], double x[3]) {
    for (int c = 0; c < 3; ++c) {
        int p = c;
        for (int r = c + 1; r < 3; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
        if (std::fabs(a[p][c]) < 1e-9) return false;
        std::swap(a[p], a[c]);
        std::swap(b[p], b[c]);
        for (int r = c + 1; r < 3; ++r) {
            const double m = a[r][c] / a[c][c];
            for (int k = c; k < 3; ++k) a[r][k] -= m * a[c][k];
            b[r] -= m * b[c];
        }
    }
    for (int c = 2; c >= 0; --c) {
        double s = b[c];
        for (int k = c + 1; k < 3; ++k) s -= a[c][k] * x[k];
        x[c] = s / a[c][c];
    }
    return true;
}

// Bilinear sample of an 8-bit band image; false outside it.
[[gnu::always_inline]] inline bool Sample(const BandImage &image, float x, float y, float &v) {
    if (x < 0.0f || y < 0.0f || x > (float)(image.width - 1) || y > (float)(image.height - 1)) return false;
    const int x0 = std::min((int)x, image.width - 2 < 0 ? 0 : image.width - 2);
    const int y0 = std::min((int)y, image.height - 2 < 0 ? 0 : image.height - 2);
    const int x1 = std::min(x0 + 1, image.width - 1), y1 = std::min(y0 + 1, image.height - 1);
    const float ax = x - (float)x0, ay = y - (float)y0;
    const uint8_t *p = image.pixels.data();
    const float top = (1 - ax) * p[(size_t)y0 * image.width + x0] + ax * p[(size_t)y0 * image.width + x1];
    const float bottom = (1 - ax) * p[(size_t)y1 * image.width + x0] + ax * p[(size_t)y1 * image.width + x1];
    v = (1 - ay) * top + ay * bottom;
    return true;
}

// Entries of the fit: known ones, every kStride-th each way, as (k, u, t) with (u, t) the entry's
// point about the band's middle in units of its width, which keeps the system well posed.
template <typename F>
void ForFitEntries(const FlowField &f, const float *weights, F visit) {
    const float cx = (float)(f.width * f.scale) * 0.5f, cy = (float)f.top + (float)(f.height * f.scale) * 0.5f;
    const float unit = 1.0f / std::max(1.0f, (float)(f.width * f.scale));
    for (int j = 0; j < f.height; j += kStride) {
        for (int i = 0; i < f.width; i += kStride) {
            const size_t k = (size_t)j * f.width + i;
            if (!Known(weights, k)) continue;
            float x, y;
            EntryPoint(f, i, j, x, y);
            visit(k, (double)((x - cx) * unit), (double)((y - cy) * unit));
        }
    }
}

}  // namespace

// One round of reweighted least squares: Cauchy weights at `sigma`, and with `last` nothing
// beyond 2.5 scales (a thing that moves on its own). False when too few entries or singular.
bool GlobalMotion::Solve(const FlowField &f, const float *weights, float sigma, bool last, double coef[2][3]) {
    double a[3][3] = {}, b[2][3] = {};
    int used = 0;
    ForFitEntries(f, weights, [&](size_t k, double u, double t) {
        const double v[3] = {1.0, u, t}, r = residuals_[k] / sigma;
        const double w = last && r > 2.5 ? 0.0 : 1.0 / (1.0 + r * r);
        for (int p = 0; p < 3; ++p) {
            for (int q = 0; q < 3; ++q) a[p][q] += w * v[p] * v[q];
            for (int c = 0; c < 2; ++c) b[c][p] += w * v[p] * f.xy[k * 2 + (size_t)c];
        }
        ++used;
    });
    if (used < kMinEntries) return false;
    for (int c = 0; c < 2; ++c) {
        double m[3][3];
        std::copy(&a[0][0], &a[0][0] + 9, &m[0][0]);
        if (!Solve3(m, b[c], coef[c])) return false;
    }
    return true;
}

// The residuals of the fit entries against `coef`, and their robust scale.
float GlobalMotion::Scale(const FlowField &f, const float *weights, const double coef[2][3]) {
    scratch_.clear();
    ForFitEntries(f, weights, [&](size_t k, double u, double t) {
        const double ex = f.xy[k * 2] - (coef[0][0] + coef[0][1] * u + coef[0][2] * t);
        const double ey = f.xy[k * 2 + 1] - (coef[1][0] + coef[1][1] * u + coef[1][2] * t);
        residuals_[k] = (float)std::sqrt(ex * ex + ey * ey);
        scratch_.push_back(residuals_[k]);
    });
    if (scratch_.empty()) return 1.0f;
    auto mid = scratch_.begin() + (std::ptrdiff_t)(scratch_.size() / 2);
    std::nth_element(scratch_.begin(), mid, scratch_.end());
    return std::max(0.25f, 1.4826f * *mid);
}

bool GlobalMotion::Fit(const FlowField &f, const float *weights, AffineMotion &out) {
    residuals_.assign((size_t)f.width * f.height, 0.0f);
    // The start: the median motion, which a thing covering less than half the band cannot move.
    double coef[2][3] = {{0, 0, 0}, {0, 0, 0}};
    for (int c = 0; c < 2; ++c) {
        scratch_.clear();
        ForFitEntries(f, weights, [&](size_t k, double, double) { scratch_.push_back(f.xy[k * 2 + (size_t)c]); });
        if ((int)scratch_.size() < kMinEntries) return false;
        auto mid = scratch_.begin() + (std::ptrdiff_t)(scratch_.size() / 2);
        std::nth_element(scratch_.begin(), mid, scratch_.end());
        coef[c][0] = *mid;
    }
    for (int round = 0; round < kRounds; ++round) {
        const float sigma = Scale(f, weights, coef);
        if (!Solve(f, weights, sigma, round == kRounds - 1, coef)) return false;
    }
    // Back to luma coordinates: d = c0 + c1 (x - cx) unit + c2 (y - cy) unit.
    const double cx = f.width * f.scale * 0.5, cy = f.top + f.height * f.scale * 0.5, unit = 1.0 / std::max(1, f.width * f.scale);
    for (int c = 0; c < 2; ++c) {
        const double s1 = coef[c][1] * unit, s2 = coef[c][2] * unit;
        out.c[c * 3] = (float)(coef[c][0] - s1 * cx - s2 * cy);
        out.c[c * 3 + 1] = (float)s1;
        out.c[c * 3 + 2] = (float)s2;
    }
    return true;
}

bool GlobalMotion::Still(const BandImage &from, const BandImage &to, int scale, const AffineMotion &model, const float *weights,
                         const FlowField &f) const {
    const float inv = 1.0f / (float)scale;
    double moved = 0.0, still = 0.0;
    for (int j = 0; j < f.height; j += kStride) {
        for (int i = 0; i < f.width; i += kStride) {
            if (!Known(weights, (size_t)j * f.width + i)) continue;
            float x, y, v0, v, dx, dy;
            EntryPoint(f, i, j, x, y);
            const float fx = x * inv, fy = (y - (float)f.top) * inv;
            if (!Sample(from, fx, fy, v0) || !Sample(to, fx, fy, v)) continue;
            model.At(x, y, dx, dy);
            float w;
            if (!Sample(to, (x + dx) * inv, (y + dy - (float)f.top) * inv, w)) continue;
            still += std::fabs(v - v0);
            moved += std::fabs(w - v0);
        }
    }
    return still > 0.0 && still <= moved;
}

void GlobalMotion::ChooseByPlace(const BandImage &from, const BandImage &to, int scale, const AffineMotion &model,
                                 float factor, int reach, const float *weights, FlowField &f) {
    const int w = f.width, h = f.height;
    const float inv = 1.0f / (float)scale;
    // Summed-area tables of the two differences, (w + 1) x (h + 1).
    for (auto &t : sums_) t.assign((size_t)(w + 1) * (h + 1), 0.0);
    for (int j = 0; j < h; ++j) {
        for (int i = 0; i < w; ++i) {
            const size_t k = (size_t)j * w + i;
            float e[2] = {0.0f, 0.0f};
            float x, y, v0, v;
            EntryPoint(f, i, j, x, y);
            if (Known(weights, k) && Sample(from, x * inv, (y - (float)f.top) * inv, v0)) {
                // (x, y) is the entry's own point, where FlowAt gives the entry itself.
                float d[2][2] = {{f.xy[k * 2], f.xy[k * 2 + 1]}, {0.0f, 0.0f}};
                model.At(x, y, d[1][0], d[1][1]);
                for (int m = 0; m < 2; ++m)
                    e[m] = Sample(to, (x + d[m][0]) * inv, (y + d[m][1] - (float)f.top) * inv, v) ? std::fabs(v - v0) : 255.0f;
            }
            for (int m = 0; m < 2; ++m)
                sums_[m][(size_t)(j + 1) * (w + 1) + i + 1] = e[m] + sums_[m][(size_t)j * (w + 1) + i + 1] +
                                                              sums_[m][(size_t)(j + 1) * (w + 1) + i] - sums_[m][(size_t)j * (w + 1) + i];
        }
    }
    auto box = [&](int m, int i, int j) {
        const int x0 = std::max(0, i - reach), x1 = std::min(w, i + reach + 1), y0 = std::max(0, j - reach), y1 = std::min(h, j + reach + 1);
        const std::vector<double> &t = sums_[m];
        return t[(size_t)y1 * (w + 1) + x1] - t[(size_t)y0 * (w + 1) + x1] - t[(size_t)y1 * (w + 1) + x0] + t[(size_t)y0 * (w + 1) + x0];
    };
    for (int j = 0; j < h; ++j) {
        for (int i = 0; i < w; ++i) {
            if (!Known(weights, (size_t)j * w + i) || box(1, i, j) > box(0, i, j) * factor) continue;
            float x, y;
            EntryPoint(f, i, j, x, y);
            float *o = &f.xy[((size_t)j * w + i) * 2];
            model.At(x, y, o[0], o[1]);
        }
    }
}

}  // namespace temporal
