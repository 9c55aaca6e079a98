// Translucent boxes in both fills (see box_restore.h).
#include "cli/temporal_fill/box_restore.h"

#include <algorithm>

extern "C" {
#include <libavutil/frame.h>
}

temporal::GridRect MaskRect(const uint8_t *mask, int width, int height) {
    temporal::GridRect r{width, height, 0, 0};
    for (int y = 0; y < height; ++y) {
        const uint8_t *row = mask + (size_t)y * width;
        for (int x = 0; x < width; ++x)
            if (row[x]) r = {std::min(r.x0, x), std::min(r.y0, y), std::max(r.x1, x + 1), std::max(r.y1, y + 1)};
    }
    return r.Empty() ? temporal::GridRect{} : r;
}

void BoxRestore::Measure(const std::vector<BoxFrame> &frames, int width, int height) {
    boxes_.clear();
    for (const BoxFrame &f : frames) {
        if (f.entry < 0 || !f.hole || std::any_of(boxes_.begin(), boxes_.end(), [&](const auto &b) { return b.first == f.entry; }))
            continue;
        int shown = 0;
        for (const BoxFrame &g : frames) shown += g.entry == f.entry;
        samples_.clear();
        const int want = std::min(shown, kBoxSamples);
        for (int k = 0, seen = 0; k < (int)frames.size() && (int)samples_.size() < want; ++k) {
            if (frames[(size_t)k].entry != f.entry) continue;
            // Evenly spread: the sample j falls on the (j * (shown - 1) / (want - 1))-th frame shown.
            const int j = (int)samples_.size();
            const int target = want > 1 ? j * (shown - 1) / (want - 1) : 0;
            if (seen++ == target) samples_.push_back(frames[(size_t)k].burnt);
        }
        boxes_.emplace_back(f.entry, temporal::BoxBlend());
        estimator_.Estimate(samples_.data(), (int)samples_.size(), MaskRect(f.hole, width, height), boxes_.back().second);
    }
}

const temporal::BoxBlend *BoxRestore::BoxOf(int entry) const {
    for (const auto &b : boxes_)
        if (b.first == entry) return b.second.found ? &b.second : nullptr;
    return nullptr;
}

int64_t BoxRestore::Restore(const BoxFrame &frame, const temporal::PictureRef &out, int height) {
    const temporal::BoxBlend *box = frame.entry >= 0 ? BoxOf(frame.entry) : nullptr;
    if (!box || !frame.burnt) return 0;
    // The glyphs' anti-aliasing: 1 pixel, 2 from 1080 lines. A wider margin joins the glyphs of a
    // line into one hole that the repaint must span (on the real-footage clip with a box, 360
    // lines: 33.8 dB over the box with 1 pixel, 31.5 with 2).
    const int dilate = std::max(1, height / 540);
    return unblend_.Apply(*frame.burnt, out, *box, frame.hole, dilate);
}

std::unique_ptr<SpatialBoxes> SpatialBoxes::For(AVPixelFormat decoded, AVPixelFormat output, int width, int height) {
    if (decoded != output || !TemporalFormatSupported(decoded, nullptr)) return nullptr;
    auto boxes = std::make_unique<SpatialBoxes>(decoded, width, height);
    if (!boxes->frames_.InPlace()) return nullptr;
    return boxes;
}

SpatialBoxes::SpatialBoxes(AVPixelFormat format, int width, int height)
    : frames_(format, width, height), hole_((size_t)width * height), one_(1), width_(width), height_(height) {}

void SpatialBoxes::Restore(const AVFrame *decoded, FramePtr &filtered) {
    if (!filtered || !av_frame_is_writable(filtered.get())) return;
    FillPicture burnt, out;
    frames_.Decoded(decoded, burnt);
    frames_.Adopt(std::move(filtered), out);
    const temporal::PlaneRef &b = burnt.ref.planes[burnt.ref.lumaPlane], &o = out.ref.planes[out.ref.lumaPlane];
    for (int y = 0; y < height_; ++y)
        for (int x = 0; x < width_; ++x) hole_[(size_t)y * width_ + x] = temporal::SampleAt(b, x, y) != temporal::SampleAt(o, x, y);
    one_[0] = BoxFrame{0, &burnt.ref, nullptr};
    const temporal::GridRect rect = MaskRect(hole_.data(), width_, height_);
    if (!rect.Empty()) {
        // The hole's own mask (one_[0].hole) is left out: no glyph keeps the module's repaint.
        one_[0].hole = hole_.data();
        restore_.Measure(one_, width_, height_);
        one_[0].hole = nullptr;
        restore_.Restore(one_[0], out.ref, height_);
    }
    filtered = std::move(out.frame);
}
