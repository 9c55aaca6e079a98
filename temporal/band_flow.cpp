// Band flow with OpenCV's DIS and completion inside the hole (see band_flow.h).
#include "temporal/band_flow.h"

#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>

#include "temporal/hole.h"

namespace temporal {

void MakeBandImage(const PlaneRef &luma, int maxValue, Band band, int scale, BandImage &out) {
    out.width = luma.width / scale;
    out.height = band.Rows() / scale;
    out.pixels.resize((size_t)out.width * out.height);
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
}

BandFlow::~BandFlow() = default;

void BandFlow::Measure(const BandImage &from, const BandImage &to, const Hole *hole, int margin, Band band, int scale,
                       FlowField &out) {
    out.width = from.width;
    out.height = from.height;
    out.scale = scale;
    out.top = band.top;
    out.xy.resize((size_t)out.width * out.height * 2);
    const cv::Mat a(from.height, from.width, CV_8UC1, const_cast<uint8_t *>(from.pixels.data()));
    const cv::Mat b(to.height, to.width, CV_8UC1, const_cast<uint8_t *>(to.pixels.data()));
    // An output of the right size would be taken as the starting guess: the field must start
    // empty, or each result would depend on the pair measured before it.
    cv::Mat flow;
    (*dis_)->calc(a, b, flow);
    flow.copyTo(cv::Mat(out.height, out.width, CV_32FC2, out.xy.data()));
    const float s = (float)scale;
    for (float &v : out.xy) v *= s;
    if (hole && !hole->Empty()) Complete(*hole, margin, out);
}

// Entries of the field that a hole pixel, widened by `margin`, touches are unknown.
void BandFlow::Complete(const Hole &hole, int margin, FlowField &f) {
    const PlaneHole &luma = hole.planes[0];
    weights_.assign((size_t)f.width * f.height, 1.0f);
    const int reach = (margin + f.scale - 1) / f.scale;
    for (int k = 0; k < luma.holeCount; ++k) {
        const int32_t i = luma.fill[k];
        const int lx = i % luma.width, ly = i / luma.width + luma.rows.top - f.top;
        const int cx = lx / f.scale, cy = ly / f.scale;
        for (int y = std::max(0, cy - reach); y <= std::min(f.height - 1, cy + reach); ++y) {
            for (int x = std::max(0, cx - reach); x <= std::min(f.width - 1, cx + reach); ++x) weights_[(size_t)y * f.width + x] = 0.0f;
        }
    }
    fill_.Fill(f.xy.data(), weights_.data(), f.width, f.height, 2);
}

}  // namespace temporal
