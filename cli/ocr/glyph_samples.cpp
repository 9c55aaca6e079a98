// Samples of the picture under the subtitles (see glyph_samples.h).
#include "cli/ocr/glyph_samples.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <chrono>

#include "cli/front/interrupt.h"

bool CropLuma(const AVFrame *frame, int x, int y, int width, int height, LumaCrop *crop) {
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get((AVPixelFormat)frame->format);
    if (!d || (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_BE |
                           AV_PIX_FMT_FLAG_FLOAT | AV_PIX_FMT_FLAG_BAYER))) {
        return false;
    }
    const AVComponentDescriptor &c = d->comp[0];
    if (c.plane != 0 || c.depth < 8 || c.depth > 16 || c.shift != 0) return false;
    if (x < 0 || y < 0 || width <= 0 || height <= 0 || x + width > frame->width || y + height > frame->height) return false;
    crop->width = width;
    crop->height = height;
    crop->luma.resize((size_t)width * height);
    for (int row = 0; row < height; ++row) {
        const uint8_t *line = frame->data[0] + (ptrdiff_t)(y + row) * frame->linesize[0] + c.offset;
        for (int col = 0; col < width; ++col) {
            const uint8_t *at = line + (ptrdiff_t)(x + col) * c.step;
            // Deeper samples keep their top eight bits (little-endian, as the flags above allow).
            crop->luma[(size_t)row * width + col] = c.depth == 8 ? at[0] : (uint8_t)((at[0] | at[1] << 8) >> (c.depth - 8));
        }
    }
    return true;
}

GlyphSamples::GlyphSamples(std::vector<SamplePlace> places)
    : places_(std::move(places)), crops_(places_.size()), settled_(places_.size(), 0) {
    for (size_t job = 0; job < places_.size(); ++job) byFrame_.emplace(places_[job].frame, job);
}

void GlyphSamples::Offer(int64_t number, const AVFrame *frame) {
    // A sample is a few tens of kilobytes: copied under the lock, which the others take rarely.
    std::lock_guard<std::mutex> lock(mutex_);
    if (byFrame_.empty() || byFrame_.begin()->first > number) return;
    for (auto it = byFrame_.begin(); it != byFrame_.end() && it->first <= number; it = byFrame_.erase(it)) {
        const size_t job = it->second;
        const SamplePlace &p = places_[job];
        if (!settled_[job] && it->first == number) CropLuma(frame, p.x, p.y, p.width, p.height, &crops_[job]);
        settled_[job] = 1;
    }
    changed_.notify_all();
}

void GlyphSamples::GiveUpThrough(size_t job) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t j = 0; j <= job && j < settled_.size(); ++j) settled_[j] = 1;
    changed_.notify_all();
}

void GlyphSamples::GiveUpAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fill(settled_.begin(), settled_.end(), 1);
    byFrame_.clear();
    changed_.notify_all();
}

const LumaCrop *GlyphSamples::Wait(size_t job) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!settled_[job]) {
        changed_.wait_for(lock, std::chrono::milliseconds(100));
        ThrowIfInterrupted();
    }
    return crops_[job].luma.empty() ? nullptr : &crops_[job];
}
