// Translucent boxes: found, measured and un-blended (see box_unblend.h).
#include "temporal/box_unblend.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>

namespace temporal {

namespace {

int FloorDiv(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
int CeilDiv(int a, int b) { return -FloorDiv(-a, b); }

float Median(std::vector<float> &v, size_t n) {
    if (n == 0) return 0.0f;
    std::nth_element(v.begin(), v.begin() + (ptrdiff_t)(n / 2), v.begin() + (ptrdiff_t)n);
    return v[n / 2];
}

// Sample at normal position `t` and position `u` along a side: a row for top and bottom sides.
float At(const PlaneRef &p, bool rows, int t, int u) { return rows ? SampleAt(p, u, t) : SampleAt(p, t, u); }

// Sides: 0 left, 1 top, 2 right, 3 bottom. Left and top face towards smaller coordinates.
int DirOf(int side) { return side < 2 ? -1 : 1; }
bool RowsOf(int side) { return side == 1 || side == 3; }

// Where one side of `box` lies on a plane subsampled by 2^lx, 2^ly: the innermost sample fully
// inside (`in`), the first one fully outside past the soft edge (`out`), and the run of samples
// along the side that lie fully inside it, [u0, u1).
struct SideSpan {
    int in = 0, out = 0, u0 = 0, u1 = 0;
};

SideSpan SpanOf(const BoxBlend &b, int side, int lx, int ly) {
    const int sx = 1 << lx, sy = 1 << ly;
    const GridRect &r = b.interior;
    SideSpan s;
    const bool rows = RowsOf(side);
    const int sn = rows ? sy : sx, su = rows ? sx : sy;
    const int lo = rows ? r.y0 : r.x0, hi = rows ? r.y1 : r.x1;
    s.u0 = CeilDiv(rows ? r.x0 : r.y0, su);
    s.u1 = FloorDiv(rows ? r.x1 : r.y1, su);
    if (DirOf(side) < 0) {
        s.in = CeilDiv(lo, sn);
        s.out = FloorDiv(lo - b.rampLength[side], sn) - 1;
    } else {
        s.in = FloorDiv(hi, sn) - 1;
        s.out = CeilDiv(hi + b.rampLength[side], sn);
    }
    return s;
}

float Ramp(const BoxBlend &b, int side, int j) { return j <= b.rampLength[side] ? b.ramp[side][j - 1] : 0.0f; }

// The mean coverage of the luma pixels of plane sample (x, y).
float BlockCoverage(const BoxBlend &b, int x, int y, int lx, int ly, int width, int height) {
    float sum = 0.0f;
    int n = 0;
    for (int yy = y << ly; yy < std::min(height, (y + 1) << ly); ++yy)
        for (int xx = x << lx; xx < std::min(width, (x + 1) << lx); ++xx, ++n) sum += b.Coverage(xx, yy);
    return n ? sum / (float)n : 0.0f;
}

}  // namespace

float BoxBlend::Coverage(int x, int y) const {
    const GridRect &r = interior;
    float cx = 1.0f, cy = 1.0f;
    if (x < r.x0) cx = Ramp(*this, 0, r.x0 - x);
    else if (x >= r.x1) cx = Ramp(*this, 2, x - r.x1 + 1);
    if (y < r.y0) cy = Ramp(*this, 1, r.y0 - y);
    else if (y >= r.y1) cy = Ramp(*this, 3, y - r.y1 + 1);
    return cx * cy;
}

GridRect BoxBlend::Extent() const {
    return GridRect{interior.x0 - rampLength[0], interior.y0 - rampLength[1], interior.x1 + rampLength[2],
                    interior.y1 + rampLength[3]};
}

void BoxEstimator::Estimate(const PictureRef *const *pictures, int count, const GridRect &hole, BoxBlend &out) {
    out = BoxBlend();
    if (count <= 0 || hole.Empty()) return;
    const PlaneRef &l = pictures[0]->planes[pictures[0]->lumaPlane];
    const int margin = 8 + (hole.y1 - hole.y0) / 4;
    // Top and bottom along the middle half of the hole's columns; a first fit on them alone.
    out.interior = GridRect{hole.x0 + (hole.x1 - hole.x0) / 4, 0, hole.x1 - (hole.x1 - hole.x0) / 4, 0};
    if (out.interior.x1 - out.interior.x0 < settings_.minSide) return;
    for (int side : {1, 3}) SideProfile(pictures, count, side, hole, margin, out, false);
    int sign = 0;
    float best = -1.0f;
    for (int s : {-1, 1}) {
        const float weakest = std::min(Strongest(1, s), Strongest(3, s));
        if (weakest > best) best = weakest, sign = s;
    }
    if (!PickRows(pictures, count, sign, out)) return;
    // Left and right along the rows between, where glyph stems may step harder than the box:
    // only pairs that fit the first fit's blend count.
    for (int side : {0, 2}) SideProfile(pictures, count, side, hole, margin, out, true);
    // The strongest candidate of each (Candidates writes up to kCandidates, strongest first).
    int left[kCandidates] = {}, right[kCandidates] = {};
    if (Candidates(0, sign, left) == 0 || Candidates(2, sign, right) == 0) return;
    if (!SetSide(pictures[0], 0, sign, left[0], out) || !SetSide(pictures[0], 2, sign, right[0], out)) return;
    const GridRect e = out.Extent();
    if (out.interior.x1 - out.interior.x0 < settings_.minSide || e.x0 < 0 || e.y0 < 0 || e.x1 > l.width || e.y1 > l.height) return;
    MeasureRamps(pictures, count, out);
    out.found = FitBlend(pictures, count, out, 0x0F);
}

// The candidate boundaries of `side` around the hole, and each one's median step (inside minus
// outside) along the side, over the frames, into profile_; into fitted_ the same with, when
// `fitted`, the step counted only where the pair two pixels across agrees with `box`'s blend
// (the others' step is 0): what picks the side, while profile_ measures its soft edge.
void BoxEstimator::SideProfile(const PictureRef *const *pictures, int count, int side, const GridRect &hole, int margin,
                               const BoxBlend &box, bool fitted) {
    const PlaneRef &l0 = pictures[0]->planes[pictures[0]->lumaPlane];
    const bool rows = RowsOf(side);
    const int dir = DirOf(side), lo = rows ? hole.y0 : hole.x0, hi = rows ? hole.y1 : hole.x1, extent = rows ? l0.height : l0.width;
    const int inward = std::max(1, (hi - lo) / 4);
    const int u0 = rows ? box.interior.x0 : box.interior.y0, u1 = rows ? box.interior.x1 : box.interior.y1;
    const float tol = 8.0f * (float)pictures[0]->maxValue / 255.0f, slope = 1.0f - box.alpha, tint = box.tint[pictures[0]->lumaPlane];
    t0_[side] = dir < 0 ? std::max(2, lo - margin) : std::max(lo, hi - inward);
    const int t1 = dir < 0 ? std::min(hi, lo + inward) : std::min(extent - 2, hi + margin);
    std::vector<float> &prof = profile_[side], &fit = fitted_[side];
    prof.assign((size_t)std::max(0, t1 - t0_[side]), 0.0f);
    fit.assign(prof.size(), 0.0f);
    line_.resize((size_t)std::max(0, u1 - u0));
    agree_.resize(line_.size());
    if (line_.empty()) return prof.clear(), fit.clear();
    for (int f = 0; f < count; ++f) {
        const PlaneRef &l = pictures[f]->planes[pictures[f]->lumaPlane];
        for (int t = t0_[side]; t < t1; ++t) {
            for (int u = u0; u < u1; ++u) {
                const float in = At(l, rows, t, u), step = in - At(l, rows, t + dir, u);
                line_[(size_t)(u - u0)] = step;
                agree_[(size_t)(u - u0)] = !fitted || std::fabs(in - slope * At(l, rows, t + 2 * dir, u) - tint) <= tol ? step : 0.0f;
            }
            prof[(size_t)(t - t0_[side])] += Median(line_, line_.size()) / (float)count;
            fit[(size_t)(t - t0_[side])] += Median(agree_, agree_.size()) / (float)count;
        }
    }
}

float BoxEstimator::Strongest(int side, int sign) const {
    float best = 0.0f;
    for (float v : fitted_[side]) best = std::max(best, sign * v);
    return best;
}

// Top and bottom: of the strongest candidates for each (a horizon or a window's edge along the
// box may step as hard as the box), the pair whose pairs across agree best with one blend.
bool BoxEstimator::PickRows(const PictureRef *const *pictures, int count, int sign, BoxBlend &out) {
    int tops[kCandidates], bottoms[kCandidates];
    const int nt = Candidates(1, sign, tops), nb = Candidates(3, sign, bottoms);
    BoxBlend best, box = out;
    float bestAgree = -1.0f;
    for (int i = 0; i < nt; ++i)
        for (int j = 0; j < nb; ++j) {
            if (!SetSide(pictures[0], 1, sign, tops[i], box) || !SetSide(pictures[0], 3, sign, bottoms[j], box)) continue;
            if (box.interior.y1 - box.interior.y0 < settings_.minSide || !FitBlend(pictures, count, box, 0x0A)) continue;
            if (agree_share_ > bestAgree) bestAgree = agree_share_, best = box;
        }
    if (bestAgree < 0.0f) return false;
    out = best;
    return true;
}

// Candidate boundaries of `side` into `peaks`, strongest first: the local peaks of the step over
// two boundaries (a side's step may be split over a soft pixel) that reach half the strongest.
// Returns their count, at most kCandidates.
int BoxEstimator::Candidates(int side, int sign, int *peaks) const {
    const std::vector<float> &sel = fitted_[side];
    const int in = -DirOf(side), n = (int)sel.size();  // in: towards the box's inside
    auto two = [&](int k) {
        if (k < 0 || k >= n) return -1e30f;
        return sign * (sel[(size_t)k] + (k - in >= 0 && k - in < n ? sel[(size_t)(k - in)] : 0.0f));
    };
    float strongest = 0.0f;
    for (int k = 0; k < n; ++k) strongest = std::max(strongest, two(k));
    float keys[kCandidates];
    int found = 0;
    for (int k = 0; k < n; ++k) {
        const float v = two(k);
        if (v <= 0.0f || v < 0.5f * strongest || v < two(k - 1) || v < two(k + 1)) continue;
        if (found == kCandidates && v <= keys[kCandidates - 1]) continue;
        // A single boundary's step: the stronger of the two the peak spans.
        const int peak = k - in >= 0 && k - in < n && sign * sel[(size_t)(k - in)] > sign * sel[(size_t)k] ? k - in : k;
        int at = found < kCandidates ? found++ : kCandidates - 1;
        for (; at > 0 && keys[at - 1] < v; --at) keys[at] = keys[at - 1], peaks[at] = peaks[at - 1];
        keys[at] = v, peaks[at] = peak;
    }
    return found;
}

// Sets `side` of `out` at the candidate boundary `peak`: the boundaries beside it that still step
// by a quarter of it are the soft edge, and the interior begins past them.
bool BoxEstimator::SetSide(const PictureRef *picture, int side, int sign, int peak, BoxBlend &out) {
    const std::vector<float> &prof = profile_[side];
    const int in = -DirOf(side), n = (int)prof.size();
    const float top = sign * prof[(size_t)peak];
    if (top < settings_.minStep * (float)picture->maxValue / 255.0f) return false;
    int inner = peak, outer = peak;
    while (inner + in >= 0 && inner + in < n && sign * prof[(size_t)(inner + in)] > 0.25f * top) inner += in;
    while (outer - in >= 0 && outer - in < n && sign * prof[(size_t)(outer - in)] > 0.25f * top) outer -= in;
    if (std::abs(inner - outer) > kBoxMaxRamp) return false;
    out.rampLength[side] = std::abs(inner - outer);
    const int t = t0_[side] + inner;
    (side == 0 ? out.interior.x0 : side == 1 ? out.interior.y0 : side == 2 ? out.interior.x1 : out.interior.y1) =
        DirOf(side) < 0 ? t : t + 1;
    return true;
}

// Each soft row or column's share of the full step: (outside - it) / (outside - inside), the
// median along the side where the step is large enough to read.
void BoxEstimator::MeasureRamps(const PictureRef *const *pictures, int count, BoxBlend &out) {
    const float scale = (float)pictures[0]->maxValue / 255.0f;
    for (int side = 0; side < 4; ++side) {
        const int n = out.rampLength[side];
        if (n == 0) continue;
        const SideSpan s = SpanOf(out, side, 0, 0);
        const int dir = DirOf(side);
        const bool rows = RowsOf(side);
        for (int j = 1; j <= n; ++j) {
            line_.clear();
            for (int f = 0; f < count; ++f) {
                const PlaneRef &l = pictures[f]->planes[pictures[f]->lumaPlane];
                const int extent = rows ? l.height : l.width;
                const int o = s.out + dir, i = s.in - dir;
                if (o < 0 || o >= extent) continue;
                for (int u = s.u0; u < s.u1; ++u) {
                    const float vo = At(l, rows, o, u), vi = At(l, rows, i, u), v = At(l, rows, s.in + dir * j, u);
                    if (std::fabs(vo - vi) >= 8.0f * scale) line_.push_back(std::clamp((vo - v) / (vo - vi), 0.0f, 1.0f));
                }
            }
            // Too few readable columns: a straight ramp across the soft edge.
            out.ramp[side][j - 1] = line_.size() >= 8 ? Median(line_, line_.size()) : (float)(n + 1 - j) / (float)(n + 1);
        }
    }
}

// Inside and outside values of `plane` across each side in `sides`, from the samples one and two
// past the soft edge (luma; a chroma sample already spans two pixels, so its nearest ones).
void BoxEstimator::GatherPairs(const PictureRef &picture, int plane, const BoxBlend &box, int sides) {
    const PlaneRef &p = picture.planes[plane];
    const PlaneGeometry &g = picture.geometry[plane];
    const int first = (g.log2X | g.log2Y) ? 0 : 1;
    for (int side = 0; side < 4; ++side) {
        if (!(sides >> side & 1)) continue;
        const SideSpan s = SpanOf(box, side, g.log2X, g.log2Y);
        const bool rows = RowsOf(side);
        const int dir = DirOf(side), extent = rows ? p.height : p.width;
        const int o = s.out + dir * first, i = s.in - dir * first;
        // Both sides' pictures carried on linearly to the point halfway between, so that the
        // picture's own slope across the side does not read as the box's.
        const float reach = 0.5f * (float)std::abs(o - i);
        if (o + dir < 0 || o + dir >= extent || i - dir < 0 || i - dir >= extent) continue;
        for (int u = std::max(0, s.u0); u < std::min(rows ? p.width : p.height, s.u1); ++u) {
            const float vo = At(p, rows, o, u), vi = At(p, rows, i, u);
            outer_.push_back(vo + (vo - At(p, rows, o + dir, u)) * reach);
            inner_.push_back(vi + (vi - At(p, rows, i - dir, u)) * reach);
        }
    }
}

// The slope (1 - alpha) from luma pairs, each plane's tint from its own (see the header), on the
// sides in the bit mask `sides` (bit 0 left, 1 top, 2 right, 3 bottom).
bool BoxEstimator::FitBlend(const PictureRef *const *pictures, int count, BoxBlend &out, int sides) {
    const PictureRef &ref = *pictures[0];
    const float scale = (float)ref.maxValue / 255.0f;
    outer_.clear(), inner_.clear();
    for (int f = 0; f < count; ++f) GatherPairs(*pictures[f], ref.lumaPlane, out, sides);
    const size_t n = outer_.size();
    if (n < 32) return false;
    order_.resize(n);
    std::iota(order_.begin(), order_.end(), 0);
    std::sort(order_.begin(), order_.end(), [this](int a, int b) { return outer_[(size_t)a] < outer_[(size_t)b]; });
    slopes_.clear();
    for (size_t j = 0; j < n / 2; ++j) {
        const size_t a = (size_t)order_[j], b = (size_t)order_[j + n / 2];
        const float d = outer_[b] - outer_[a];
        if (d >= 16.0f * scale) slopes_.push_back((inner_[b] - inner_[a]) / d);
    }
    if (slopes_.size() < 16) return false;
    const float slope = Median(slopes_, slopes_.size());
    out.alpha = 1.0f - slope;
    if (!(out.alpha >= settings_.minAlpha && out.alpha <= settings_.maxAlpha)) return false;
    for (int plane = 0; plane < ref.planeCount; ++plane) {
        outer_.clear(), inner_.clear();
        for (int f = 0; f < count; ++f) GatherPairs(*pictures[f], plane, out, sides);
        if (outer_.size() < 8) return false;
        slopes_.resize(outer_.size());
        for (size_t k = 0; k < outer_.size(); ++k) slopes_[k] = inner_[k] - slope * outer_[k];
        out.tint[plane] = Median(slopes_, slopes_.size());
        if (plane != ref.lumaPlane) continue;
        size_t agree = 0;
        for (size_t k = 0; k < outer_.size(); ++k) agree += std::fabs(inner_[k] - slope * outer_[k] - out.tint[plane]) <= 8.0f * scale;
        agree_share_ = (float)agree / (float)outer_.size();
        if (agree_share_ < settings_.minAgree) return false;
    }
    return true;
}

int64_t BoxUnblend::Apply(const PictureRef &burnt, const PictureRef &out, const BoxBlend &box, const uint8_t *hole,
                          int dilate) {
    if (!box.found || burnt.planeCount == 0) return 0;
    const PlaneRef &l = burnt.planes[burnt.lumaPlane];
    const GridRect e = box.Extent();
    const GridRect roi{std::max(0, e.x0 - dilate), std::max(0, e.y0 - dilate), std::min(l.width, e.x1 + dilate),
                       std::min(l.height, e.y1 + dilate)};
    if (roi.Empty()) return 0;
    MarkGlyphs(burnt, box, roi);
    Dilate(roi, dilate);
    // The fill's output is kept for the glyphs only where its hole holds the whole box.
    int64_t inside = 0, held = 0;
    for (int y = box.interior.y0; y < box.interior.y1; ++y)
        for (int x = box.interior.x0; x < box.interior.x1; ++x, ++inside) held += hole && hole[(size_t)y * l.width + x] != 0;
    const bool keepFill = inside > 0 && held * 100 >= inside * 95;
    int64_t changed = 0;
    for (int plane = 0; plane < burnt.planeCount; ++plane) changed += RestorePlane(burnt, out, plane, box, roi, keepFill);
    return changed;
}

// Marks (luma grid, over `roi`) every pixel of a sample whose un-blended value leaves the range.
void BoxUnblend::MarkGlyphs(const PictureRef &burnt, const BoxBlend &box, const GridRect &roi) {
    const int rw = roi.x1 - roi.x0, rh = roi.y1 - roi.y0;
    glyph_.assign((size_t)rw * rh, 0);
    const PlaneRef &l = burnt.planes[burnt.lumaPlane];
    const float maxV = (float)burnt.maxValue, tol = 6.0f * maxV / 255.0f;
    for (int plane = 0; plane < burnt.planeCount; ++plane) {
        const PlaneRef &p = burnt.planes[plane];
        const int lx = burnt.geometry[plane].log2X, ly = burnt.geometry[plane].log2Y;
        for (int y = roi.y0 >> ly; y <= (roi.y1 - 1) >> ly && y < p.height; ++y)
            for (int x = roi.x0 >> lx; x <= (roi.x1 - 1) >> lx && x < p.width; ++x) {
                const float cov = BlockCoverage(box, x, y, lx, ly, l.width, l.height);
                if (cov <= 0.0f) continue;
                const float b = SampleAt(p, x, y), v = (b - box.tint[plane] * cov) / (1.0f - box.alpha * cov);
                if (!(v > maxV + tol || v < -tol || b <= 0.0f || b >= maxV)) continue;
                for (int yy = std::max(roi.y0, y << ly); yy < std::min(roi.y1, (y + 1) << ly); ++yy)
                    for (int xx = std::max(roi.x0, x << lx); xx < std::min(roi.x1, (x + 1) << lx); ++xx)
                        glyph_[(size_t)(yy - roi.y0) * rw + (xx - roi.x0)] = 1;
            }
    }
}

// Grows the glyphs' mask by `dilate` pixels (a square), rows then columns.
void BoxUnblend::Dilate(const GridRect &roi, int dilate) {
    const int rw = roi.x1 - roi.x0, rh = roi.y1 - roi.y0;
    grown_.assign(glyph_.size(), 0);
    for (int y = 0; y < rh; ++y)
        for (int x = 0; x < rw; ++x)
            if (glyph_[(size_t)y * rw + x])
                for (int k = std::max(0, x - dilate); k <= std::min(rw - 1, x + dilate); ++k) grown_[(size_t)y * rw + k] = 1;
    std::fill(glyph_.begin(), glyph_.end(), 0);
    for (int y = 0; y < rh; ++y)
        for (int x = 0; x < rw; ++x)
            if (grown_[(size_t)y * rw + x])
                for (int k = std::max(0, y - dilate); k <= std::min(rh - 1, y + dilate); ++k) glyph_[(size_t)k * rw + x] = 1;
}

// Un-blends one plane's samples under the box; glyph samples keep the fill's output or are
// repainted from the un-blended ones around them.
int64_t BoxUnblend::RestorePlane(const PictureRef &burnt, const PictureRef &out, int plane, const BoxBlend &box,
                                 const GridRect &roi, bool keepFill) {
    const PlaneRef &p = burnt.planes[plane], &o = out.planes[plane];
    const PlaneRef &l = burnt.planes[burnt.lumaPlane];
    const int lx = burnt.geometry[plane].log2X, ly = burnt.geometry[plane].log2Y, rw = roi.x1 - roi.x0;
    const int px0 = roi.x0 >> lx, py0 = roi.y0 >> ly;
    const int pw = std::min(p.width, ((roi.x1 - 1) >> lx) + 1) - px0, ph = std::min(p.height, ((roi.y1 - 1) >> ly) + 1) - py0;
    values_.resize((size_t)pw * ph);
    weights_.resize((size_t)pw * ph);
    int64_t changed = 0, repaint = 0;
    for (int y = 0; y < ph; ++y)
        for (int x = 0; x < pw; ++x) {
            const int sx = px0 + x, sy = py0 + y;
            const size_t k = (size_t)y * pw + x;
            const float cov = BlockCoverage(box, sx, sy, lx, ly, l.width, l.height);
            bool glyph = false;
            for (int yy = std::max(roi.y0, sy << ly); yy < std::min(roi.y1, (sy + 1) << ly); ++yy)
                for (int xx = std::max(roi.x0, sx << lx); xx < std::min(roi.x1, (sx + 1) << lx); ++xx)
                    glyph = glyph || glyph_[(size_t)(yy - roi.y0) * rw + (xx - roi.x0)];
            values_[k] = SampleAt(o, sx, sy);
            weights_[k] = 1.0f;
            if (cov <= 0.0f || (glyph && keepFill)) continue;
            if (glyph) {
                weights_[k] = 0.0f, ++repaint;
                continue;
            }
            values_[k] = (SampleAt(p, sx, sy) - box.tint[plane] * cov) / (1.0f - box.alpha * cov);
            StoreSample(o, sx, sy, values_[k], burnt.maxValue);
            ++changed;
        }
    if (repaint == 0 || !pushPull_.Fill(values_.data(), weights_.data(), pw, ph, 1)) return changed;
    for (int y = 0; y < ph; ++y)
        for (int x = 0; x < pw; ++x)
            if (weights_[(size_t)y * pw + x] == 0.0f) StoreSample(o, px0 + x, py0 + y, values_[(size_t)y * pw + x], burnt.maxValue);
    return changed + repaint;
}

}  // namespace temporal
