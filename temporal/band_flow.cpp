// Band flow with OpenCV's DIS and completion inside the hole (see band_flow.h).
#include "temporal/band_flow.h"

#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cstring>

#include "temporal/column_fill.h"
#include "temporal/global_motion.h"
#include "temporal/hole.h"

namespace temporal {

void MakeBandImage(const PlaneRef &luma, int maxValue, Band band, int scale, BandImage &out) {
    out.width = luma.width / scale;
    out.height = band.Rows() / scale;
    out.pixels.resize((size_t)out.width * out.height);
    if (scale == 1 && luma.bytes == 1 && maxValue == 255) {
        // The same codes: the general loop below gives each sample back unchanged.
        for (int y = 0; y < out.height; ++y)
            std::memcpy(&out.pixels[(size_t)y * out.width], luma.data + (ptrdiff_t)(band.top + y) * luma.stride, (size_t)out.width);
        return;
    }
    const float norm = 255.0f / ((float)maxValue * (float)(scale * scale));
    for (int y = 0; y < out.height; ++y) {
        for (int x = 0; x < out.width; ++x) {
            float sum = 0.0f;
            for (int dy = 0; dy < scale; ++dy) {
                for (int dx = 0; dx < scale; ++dx) sum += SampleAt(luma, x * scale + dx, band.top + y * scale + dy);
            }
            out.pixels[(size_t)y * out.width + x] = (uint8_t)std::min(255.0f, sum * norm + 0.5f);
        }
    }
}

BandFlow::BandFlow(int preset) {
    // The host runs one flow per worker thread. OpenCV's own threads would only compete with
    // them, and how it splits a flow among threads depends on what else runs at that moment,
    // which would make the result depend on it too.
    cv::setNumThreads(0);
    const int presets[] = {cv::DISOpticalFlow::PRESET_ULTRAFAST, cv::DISOpticalFlow::PRESET_FAST,
                           cv::DISOpticalFlow::PRESET_MEDIUM};
    dis_ = std::make_unique<cv::Ptr<cv::DISOpticalFlow>>(cv::DISOpticalFlow::create(presets[std::clamp(preset, 0, 2)]));
    // The ultrafast preset stops at a quarter of the resolution; holes are filled sample by
    // sample, and on film a quarter-resolution flow misplaces the background enough to show
    // (about 9 dB less over the damaged pixels of a panned test film). Half resolution costs
    // about twice the time and gets nearly all of what the variational refinement would add.
    (*dis_)->setFinestScale(1);
}

BandFlow::~BandFlow() = default;

void BandFlow::Measure(const BandImage &from, const BandImage &to, const Hole *fromHole, const Hole *toHole, int margin,
                       Band band, int scale, FlowField &out) {
    const cv::Mat a(from.height, from.width, CV_8UC1, const_cast<uint8_t *>(from.pixels.data()));
    const cv::Mat b(to.height, to.width, CV_8UC1, const_cast<uint8_t *>(to.pixels.data()));
    // An output of the right size would be taken as the starting guess: the field must start
    // empty, or each result would depend on the pair measured before it.
    cv::Mat flow;
    (*dis_)->calc(a, b, flow);
    // DIS's finest level is half the image's resolution, so the field is kept at that size: each
    // entry the mean of a 2x2 cell, a quarter of the memory and of the completion's work.
    out.width = from.width / 2;
    out.height = from.height / 2;
    out.scale = scale * 2;
    out.top = band.top;
    out.xy.resize((size_t)out.width * out.height * 2);
    const float s = (float)scale * 0.25f;
    for (int y = 0; y < out.height; ++y) {
        const float *r0 = flow.ptr<float>(2 * y), *r1 = flow.ptr<float>(2 * y + 1);
        float *o = &out.xy[(size_t)y * out.width * 2];
        for (int x = 0; x < out.width; ++x) {
            o[2 * x] = (r0[4 * x] + r0[4 * x + 2] + r1[4 * x] + r1[4 * x + 2]) * s;
            o[2 * x + 1] = (r0[4 * x + 1] + r0[4 * x + 3] + r1[4 * x + 1] + r1[4 * x + 3]) * s;
        }
    }
    const bool fromKnown = !fromHole || fromHole->Empty(), toKnown = !toHole || toHole->Empty();
    const float *known = nullptr;
    if (!fromKnown || !toKnown) {
        weights_.assign((size_t)out.width * out.height, 1.0f);
        const int reach = (margin + out.scale - 1) / out.scale;
        if (!fromKnown) MarkUnknown(*fromHole, reach, out);
        if (!toKnown) MarkUnknown(*toHole, reach, out);
        known = weights_.data();
    }
    PreferCamera(from, to, scale, known, out);
    if (!known) return;
    // Push-pull only for what the columns leave: runs that reach the band's edge.
    if (CompleteColumns(out.xy.data(), weights_.data(), out.width, out.height, ColumnFillSettings{}) > 0)
        fill_.Fill(out.xy.data(), weights_.data(), out.width, out.height, 2);
}

// Where the camera's motion matches the pictures about as well as the measured flow, it replaces
// the flow. Measured on the removal benchmark against 1.25: 1.1 lost 0.6 dB on the zoom and 1.0 on
// the grain; 1.5 gained 0.25 and 0.4 but lets the camera win where it matches a third worse, as a
// small thing moving on its own would. Boxes of 5 to 9 entries gave the same within 0.1 dB.
void BandFlow::PreferCamera(const BandImage &from, const BandImage &to, int scale, const float *known, FlowField &out) {
    constexpr float kFactor = 1.25f;
    constexpr int kReach = 3;
    AffineMotion camera;
    if (!global_.Fit(out, known, camera)) return;
    if (global_.Still(from, to, scale, camera, known, out)) camera = AffineMotion{};
    global_.ChooseByPlace(from, to, scale, camera, kFactor, kReach, known, out);
}

// Entries of the field within `reach` (a square) of a cell that holds a hole pixel become
// unknown.
void BandFlow::MarkUnknown(const Hole &hole, int reach, const FlowField &f) {
    const uint8_t *unknown = UnknownCells(hole, reach, f);
    const size_t n = (size_t)f.width * f.height;
    for (size_t k = 0; k < n; ++k)
        if (unknown[k]) weights_[k] = 0.0f;
}

// The cells of `f` within `reach` of a hole pixel: cells are marked, then widened along rows and
// along columns with running counts. While the holes are fixed (FixHoles), each hole's cells are
// made once: every pair of a chunk shares the band and the field's geometry.
const uint8_t *BandFlow::UnknownCells(const Hole &hole, int reach, const FlowField &f) {
    for (const Unknown &u : unknown_)
        if (u.hole == &hole && u.reach == reach && u.width == f.width && u.height == f.height && u.scale == f.scale && u.top == f.top)
            return u.cells.data();
    if (!holesFixed_ || unknownUsed_ == unknown_.size()) {
        if (!holesFixed_) unknownUsed_ = 0;
        if (unknownUsed_ == unknown_.size()) unknown_.emplace_back();
    }
    Unknown &u = unknown_[unknownUsed_++];
    u.hole = holesFixed_ ? &hole : nullptr;
    u.reach = reach, u.width = f.width, u.height = f.height, u.scale = f.scale, u.top = f.top;
    const PlaneHole &luma = hole.planes[0];
    const int w = f.width, h = f.height;
    cells_.assign((size_t)w * h, 0);
    for (int k = 0; k < luma.holeCount; ++k) {
        const int32_t i = luma.fill[k];
        const int cx = (i % luma.width) / f.scale, cy = (i / luma.width + luma.rows.top - f.top) / f.scale;
        if (cx < w && cy >= 0 && cy < h) cells_[(size_t)cy * w + cx] = 1;
    }
    widened_.assign(cells_.size(), 0);
    counts_.resize((size_t)std::max(w, h) + 1);
    for (int y = 0; y < h; ++y) {
        counts_[0] = 0;
        for (int x = 0; x < w; ++x) counts_[(size_t)x + 1] = counts_[(size_t)x] + cells_[(size_t)y * w + x];
        for (int x = 0; x < w; ++x)
            widened_[(size_t)y * w + x] = counts_[(size_t)std::min(w, x + reach + 1)] > counts_[(size_t)std::max(0, x - reach)];
    }
    u.cells.assign(cells_.size(), 0);
    for (int x = 0; x < w; ++x) {
        counts_[0] = 0;
        for (int y = 0; y < h; ++y) counts_[(size_t)y + 1] = counts_[(size_t)y] + widened_[(size_t)y * w + x];
        for (int y = 0; y < h; ++y)
            u.cells[(size_t)y * w + x] = counts_[(size_t)std::min(h, y + reach + 1)] > counts_[(size_t)std::max(0, y - reach)];
    }
    return u.cells.data();
}

void BandFlow::FixHoles(bool fixed) {
    holesFixed_ = fixed;
    unknownUsed_ = 0;
    for (Unknown &u : unknown_) u.hole = nullptr;
}

}  // namespace temporal
