// The temporal fill's worker (see temporal_worker.h).
#include "cli/temporal_fill/temporal_worker.h"

#include <algorithm>
#include <utility>

#include "cli/errors.h"
#include "cli/plugin/filter_settings.h"
#include "cli/temporal_fill/temporal_frames.h"

namespace {

// Rows kept around the holes for measuring motion, per 576 picture rows: DIS needs picture
// around the hole to measure it well. On a slow pan at 720x576 (window 48), 64 rows gave 28.7 dB
// over the damaged pixels, 96 gave 40.3, 128 gave 42.1 and 200 gave 36.5.
int BandMargin(int height) { return std::max(64, height * 128 / 576); }
// Around each hole, in samples of each plane: first a halo that may still hold the text's soft
// shadow (no background is taken from it and no seam measured on it), then the ring on which the
// seam is measured. Both grow with the picture, as outlines and shadows do: halo 7 and ring 4 at
// 576 rows, 13 and 7 at 1080. Over the damaged pixels of the benchmark's 1080p pan, a halo of one
// sample gave 22.1 dB, 13 or 27 samples 25.0 dB. Against height / 40 (14 samples at 576 rows),
// height / 80 gave the same to 0.1 dB on every 720x576 clip (0.3 dB more on the grain, 0.06 less
// on the object) and two threads ran 5 to 9 % faster: every halo sample carries memory through
// both passes.
int RingWidth(int height) { return std::max(3, height / 144); }
int HaloWidth(int height) { return height / 80; }
// Luma pixels around each hole where the measured motion is thrown away and completed: DIS's
// patches that overlap the text's outline and shadow measure the still text. Both grow with the
// picture. On the benchmark's 1080p pan, 10 pixels left 85% of the hole samples of the
// subtitle's first frame without background (17.9 dB over the damaged pixels); 19, 28 and 38
// pixels all gave 25.0 dB. At 720x576, 16 pixels gave 0.1 to 0.2 dB less than 10 on the object
// and grain clips and 0.2 dB more on the zoom.
int FlowMargin(int height) { return std::max(10, (height * 10 + 575) / 576); }
// Pixels of held frames a chunk may span: 64 frames at 720x576, 16 at 1080p and at 4K.
constexpr int64_t kChunkPixels = int64_t(1) << 25;

const FrameRange *StretchOf(const std::vector<FrameRange> &merged, int64_t frame) {
    auto after = std::upper_bound(merged.begin(), merged.end(), frame, [](int64_t f, const FrameRange &r) { return f < r.first; });
    if (after == merged.begin() || frame > std::prev(after)->second) return nullptr;
    return &*std::prev(after);
}

}  // namespace

TemporalPlan::TemporalPlan(const std::vector<FrameRange> &ranges, int window_, int width, int height)
    : window(window_), merged(MergeFrameRanges(ranges)), entries(ranges) {
    const int64_t pixels = std::max<int64_t>(1, (int64_t)width * height);
    chunkLength = (int)std::clamp<int64_t>(kChunkPixels / pixels, 16, 64);
    fill.step.window = window_;
    fill.flowMargin = FlowMargin(height);
}

struct TemporalWorker::Held {
    FrameJob job;
    int entry = -1;
    bool emitted = false;
    bool spatialTried = false;
    FillPicture decoded;  // the frame as the fill reads it, from the first chunk that looks at it
    FillPicture output;   // the filled frame; empty while nothing is filled
    FillPicture spatial;  // the module's repaint
};

TemporalWorker::TemporalWorker(const FilterModuleHandle &module, const FilterSettings &settings, bool fromConfigLine,
                               const PictureColour &decoded, Worker &output, const TemporalPlan &plan,
                               const FrameContext &film)
    : plan_(plan), film_(film), output_(output), settings_(settings), frames_(decoded.format, film.input->width(), film.height),
      fill_(plan.fill), width_(film.input->width()), height_(film.height) {
    spatial_.converter = std::make_unique<ColourConverter>(width_, height_, decoded, decoded);
    // Made here, on the thread that makes the workers: the module's open-file box is answered on
    // that thread only.
    for (const Widening &widening : film.radii ? film.radii->InUse() : std::vector<Widening>{{settings.radius, 0}}) {
        for (int32_t mode : {MODE_MASK_ONLY, MODE_FINAL}) {
            FilterSettings s = settings;
            s.mode = mode;
            std::unique_ptr<FilterInstance> &instance = (mode == MODE_MASK_ONLY ? masks_ : spatials_)[widening];
            instance = std::make_unique<FilterInstance>(module, width_, height_);
            ConfigureWidened(*instance, s, fromConfigLine, film.radii, widening);
            instance->Start(0);
        }
    }
}

TemporalWorker::~TemporalWorker() {
    for (auto &i : spatials_) i.second->End();
    for (auto &i : masks_) i.second->End();
}

// The instance in `mode` at the widening of frame `number`'s subtitle.
FilterInstance &TemporalWorker::InstanceAt(int64_t number, int32_t mode) {
    return *(mode == MODE_MASK_ONLY ? masks_ : spatials_).at(WideningAt(film_.radii, number, settings_.radius));
}

bool TemporalWorker::Feed(FrameJob &&job, const Emit &emit) {
    Held h;
    h.entry = film_.mode == MODE_FINAL ? plan_.entries.At(job.number) : -1;
    h.job = std::move(job);
    if (!held_.empty() && h.job.number != held_.back().job.number + 1)
        throw HostError(EXIT_FAILURE_RUN, "internal error: the temporal fill was given frames out of order");
    held_.push_back(std::move(h));
    return Drain(false, emit);
}

bool TemporalWorker::Finish(const Emit &emit) {
    const bool ok = Drain(true, emit);
    held_.clear();
    maskCache_.clear();
    bandCache_.clear();
    ahead_ = Ahead();
    previous_.Reset();
    previousNumber_ = -1;
    return ok;
}

// Outputs every frame whose chunk has its window after it (all of them when `ending`).
bool TemporalWorker::Drain(bool ending, const Emit &emit) {
    for (;;) {
        size_t k = 0;
        while (k < held_.size() && (held_[k].job.context || held_[k].emitted)) ++k;
        if (k == held_.size()) break;
        Held &h = held_[k];
        const int64_t n = h.job.number;
        const FrameRange *stretch = h.entry >= 0 ? StretchOf(plan_.merged, n) : nullptr;
        if (!stretch) {
            FrameResult r = ProcessFrame(output_, h.job, film_);
            h.emitted = true;
            if (!emit(h.job.index, std::move(r))) return false;
            continue;
        }
        const int64_t L = plan_.chunkLength;
        const int64_t last = std::min(stretch->first + ((n - stretch->first) / L + 1) * L - 1, stretch->second);
        if (!ending && held_.back().job.number < last + plan_.window && WindowEnd(last, held_.back().job.number) < 0) {
            ahead_.waiting = true;
            ahead_.first = n;
            ahead_.last = last;
            break;
        }
        ahead_.waiting = false;
        if (!FillChunk(k, last, emit)) return false;
    }
    Trim();
    return true;
}

// Fills the frames from held_[k] to frame `last` (or the last one of the run held), with the
// window on both sides, and outputs them.
bool TemporalWorker::FillChunk(size_t k, int64_t last, const Emit &emit) {
    const int64_t base = held_.front().job.number, first = held_[k].job.number;
    last = LastOwn(first, last);
    bool emitted = true;  // false once the pipeline refused a frame
    const int64_t lo = WindowStart(first, std::max(base, first - plan_.window));
    int64_t hi = WindowEnd(last, std::min(held_.back().job.number, last + plan_.window));
    if (hi < 0) hi = std::min(held_.back().job.number, last + plan_.window);
    const temporal::Band band = ChunkBand(first, last, lo, hi);
    std::map<int, temporal::Hole> holes;
    for (int64_t num = lo; num <= hi; ++num) {
        const int entry = held_[(size_t)(num - base)].entry;
        if (entry < 0) continue;
        MaskOf(entry, num);
        holes[entry];
    }
    std::vector<temporal::ChunkFrame> frames((size_t)(hi - lo + 1));
    if (band.Rows() > 0) {
        for (int64_t num = lo; num <= hi; ++num) {
            Held &f = held_[(size_t)(num - base)];
            if (f.decoded.Empty()) frames_.Decoded(f.job.frame.get(), f.decoded);
        }
        const temporal::PictureRef &layout = held_[k].decoded.ref;
        for (auto &[entry, hole] : holes) temporal::MakeHole(maskCache_[entry].data(), width_, height_, layout, band, RingWidth(height_), hole,
                                                                     HaloWidth(height_));
        for (int64_t num = lo; num <= hi; ++num) {
            Held &f = held_[(size_t)(num - base)];
            frames[(size_t)(num - lo)].picture = f.decoded.ref;
            frames[(size_t)(num - lo)].hole = f.entry >= 0 ? &holes[f.entry] : nullptr;
            frames[(size_t)(num - lo)].number = num;
            frames[(size_t)(num - lo)].holeId = f.entry;
        }
        temporal::FillCallbacks callbacks;
        callbacks.spatial = [&](int i) { return Spatial(held_[(size_t)(lo + i - base)]); };
        callbacks.output = [&](int i) { return OutputOf(held_[(size_t)(lo + i - base)]); };
        // Frames go to the encoder as soon as the fill is past them, so that coding overlaps the
        // rest of the chunk (at a film's end nothing else would). Un-blended boxes are restored
        // over the whole chunk afterwards, so with them the frames wait.
        if (!film_.radii) callbacks.done = [&](int i) { emitted = emitted && EmitUpTo(lo + i, first, last, emit); };
        temporal::PictureRef before;
        const FrameRange *stretch = StretchOf(plan_.merged, first);
        const bool carries = !previous_.Empty() && previousNumber_ == first - 1 && stretch && stretch->first < first;
        if (carries) before = previous_.ref;
        fill_.Run(frames, (int)(first - lo), (int)(last - lo + 1), band, callbacks, carries ? &before : nullptr, stats_);
        if (film_.radii) RestoreBoxes(first, last);
    }
    previous_.Reset();
    if (!emitted || !EmitUpTo(last + 1, first, last, emit)) return false;
    previousNumber_ = last;
    return true;
}

// The last frame of first..last that is held and the worker's own (not another run's window).
int64_t TemporalWorker::LastOwn(int64_t first, int64_t last) const {
    const int64_t base = held_.front().job.number;
    int64_t own = first;
    while (own + 1 <= last && own + 1 - base < (int64_t)held_.size() && !held_[(size_t)(own + 1 - base)].job.context) ++own;
    return own;
}

// The band of a chunk's frames first..last, whose window is lo..hi (all held): the rows that the
// holes of its frames need for the motion, and those of the subtitles in its window whose rows
// meet these. Every subtitle the window shows gets its hole within that band. A hole elsewhere (a
// subtitle at the top while this one is at the bottom) is left out: no background comes from that
// far. A subtitle next to the chunk's in the same place widens the band to its own, so that the
// chunks of a run of back-to-back subtitles of one and two lines share a band, and each takes
// over the flows that the one before measured in its window instead of measuring them again.
temporal::Band TemporalWorker::ChunkBand(int64_t first, int64_t last, int64_t lo, int64_t hi) {
    const int64_t base = held_.front().job.number;
    auto bandOf = [&](int entry, int64_t num) -> const temporal::Band & {
        auto it = bandCache_.find(entry);
        if (it == bandCache_.end())
            it = bandCache_.emplace(entry, temporal::MaskBand(MaskOf(entry, num)->data(), width_, height_, BandMargin(height_), 4)).first;
        return it->second;
    };
    temporal::Band band{height_, 0};
    for (int64_t num = first; num <= last; ++num) {
        const int entry = held_[(size_t)(num - base)].entry;
        if (entry < 0) continue;
        const temporal::Band &b = bandOf(entry, num);
        if (b.Rows() > 0) band = temporal::Band{std::min(band.top, b.top), std::max(band.bottom, b.bottom)};
    }
    if (band.Rows() <= 0) return band;
    const temporal::Band own = band;
    for (int64_t num = lo; num <= hi; ++num) {
        const int entry = held_[(size_t)(num - base)].entry;
        if (entry < 0 || (num >= first && num <= last)) continue;
        const temporal::Band &b = bandOf(entry, num);
        if (b.Rows() > 0 && b.top < own.bottom && own.top < b.bottom) band = temporal::Band{std::min(band.top, b.top), std::max(band.bottom, b.bottom)};
    }
    return band;
}

// The flows of one pair of the waiting chunk, among the frames held so far, as FillChunk will
// ask for them if no frame still to come widens the chunk's band (if one does, they are measured
// again there). The reader decodes on its own thread, so at a film's start, where the first
// chunk waits for its window, this keeps the second core busy.
bool TemporalWorker::WorkAhead() {
    if (!ahead_.waiting || held_.empty()) return false;
    const int64_t base = held_.front().job.number, back = held_.back().job.number, first = ahead_.first;
    if (first < base || first > back) return false;
    const int64_t last = LastOwn(first, ahead_.last);
    const int64_t lo = WindowStart(first, std::max(base, first - plan_.window));
    int64_t hi = std::min(back, last + plan_.window);
    if (const int64_t end = WindowEnd(last, hi); end >= 0) hi = end;
    const temporal::Band band = ChunkBand(first, last, lo, hi);
    if (band.Rows() <= 0) return false;
    if (band.top != ahead_.band.top || band.bottom != ahead_.band.bottom) {
        ahead_.holes.clear();
        ahead_.band = band;
    }
    Held &firstHeld = held_[(size_t)(first - base)];
    if (firstHeld.decoded.Empty()) frames_.Decoded(firstHeld.job.frame.get(), firstHeld.decoded);
    ahead_.frames.assign((size_t)(hi - lo + 1), temporal::ChunkFrame());
    for (int64_t num = lo; num <= hi; ++num) {
        Held &f = held_[(size_t)(num - base)];
        if (f.decoded.Empty()) frames_.Decoded(f.job.frame.get(), f.decoded);
        temporal::ChunkFrame &c = ahead_.frames[(size_t)(num - lo)];
        c.picture = f.decoded.ref;
        c.number = num;
        c.holeId = f.entry;
        if (f.entry < 0) continue;
        auto it = ahead_.holes.find(f.entry);
        if (it == ahead_.holes.end()) {
            it = ahead_.holes.emplace(f.entry, temporal::Hole()).first;
            temporal::MakeHole(MaskOf(f.entry, num)->data(), width_, height_, firstHeld.decoded.ref, band, RingWidth(height_), it->second,
                               HaloWidth(height_));
        }
        c.hole = &it->second;
    }
    return fill_.MeasureAhead(ahead_.frames, band);
}

// Passes on the frames of the chunk first..last before `end` that are not yet passed on; the
// output of the last is kept for the next chunk. False when the pipeline fails.
bool TemporalWorker::EmitUpTo(int64_t end, int64_t first, int64_t last, const Emit &emit) {
    const int64_t base = held_.front().job.number;
    for (int64_t num = first; num < end; ++num) {
        Held &h = held_[(size_t)(num - base)];
        if (h.emitted) continue;
        FrameResult r = Finished(h);
        h.emitted = true;
        if (num == last && !h.output.Empty()) previous_ = std::move(h.output);
        h.output.Reset();
        h.spatial.Reset();
        if (!emit(h.job.index, std::move(r))) return false;
    }
    return true;
}

// Un-blends the translucent boxes of the frames first..last (filled, their pictures decoded).
// Only with --radius auto: with the module's own settings the fill stays as it was.
void TemporalWorker::RestoreBoxes(int64_t first, int64_t last) {
    const int64_t base = held_.front().job.number;
    boxFrames_.clear();
    for (int64_t num = first; num <= last; ++num) {
        Held &h = held_[(size_t)(num - base)];
        auto mask = h.entry >= 0 ? maskCache_.find(h.entry) : maskCache_.end();
        BoxFrame f;
        if (mask != maskCache_.end() && !h.decoded.Empty()) f = BoxFrame{h.entry, &h.decoded.ref, mask->second.data()};
        boxFrames_.push_back(f);
    }
    boxes_.Measure(boxFrames_, width_, height_);
    for (int64_t num = first; num <= last; ++num) {
        const BoxFrame &f = boxFrames_[(size_t)(num - first)];
        if (f.entry < 0 || !boxes_.BoxOf(f.entry)) continue;
        boxes_.Restore(f, OutputOf(held_[(size_t)(num - base)]), height_);
    }
}

// The hole of subtitle `entry` as the module widens it, asked at a frame that shows it.
const std::vector<uint8_t> *TemporalWorker::MaskOf(int entry, int64_t frame) {
    auto it = maskCache_.find(entry);
    if (it != maskCache_.end()) return &it->second;
    FilterInstance &masks = InstanceAt(frame, MODE_MASK_ONLY);
    masks.Run((int32_t)frame, film_.usPerFrame);
    std::vector<uint8_t> &mask = maskCache_[entry];
    mask.assign((size_t)width_ * height_, 0);
    for (int y = 0; y < height_; ++y) {
        const uint32_t *row = masks.DestinationRow(y);
        for (int x = 0; x < width_; ++x) mask[(size_t)y * width_ + x] = (row[x] & 0x00FFFFFFu) == 0x00FF0000u;
    }
    return &mask;
}

const temporal::PictureRef *TemporalWorker::Spatial(Held &h) {
    if (!h.spatialTried) {
        h.spatialTried = true;
        const RowBand band = film_.BandFor(h.job.number);
        FilterInstance &spatial = InstanceAt(h.job.number, MODE_FINAL);
        spatial_.converter->ToHost(h.job.frame.get(), spatial, band);
        spatial.Run((int32_t)h.job.number, film_.usPerFrame);
        FramePtr repaint;
        spatial_.converter->FromHost(spatial, h.job.frame.get(), repaint, band);
        if (!repaint) repaint = CloneFrame(h.job.frame.get());
        frames_.Adopt(std::move(repaint), h.spatial);
    }
    return h.spatial.Empty() ? nullptr : &h.spatial.ref;
}

temporal::PictureRef TemporalWorker::OutputOf(Held &h) {
    if (h.output.Empty()) {
        frames_.Decoded(h.job.frame.get(), h.decoded);
        frames_.Writable(h.job.frame.get(), h.decoded, h.output);
    }
    return h.output.ref;
}

// The result to encode: the filled frame in the output's format, or the frame as it came.
FrameResult TemporalWorker::Finished(Held &h) {
    FrameResult r;
    const AVFrame *decoded = h.job.frame.get();
    r.duration = FrameDuration(decoded);
    if (r.duration <= 0) r.duration = film_.input->NominalFrameDuration();
    const bool filled = !h.output.Empty();
    if (!filled && h.job.packet) {
        r.packet = std::move(h.job.packet);
        r.changed = 0;
        return r;
    }
    const FramePtr output = filled ? frames_.Finish(decoded, h.decoded, h.output) : nullptr;
    r.frame = output_.converter->Unchanged(filled ? output.get() : decoded);
    r.changed = filled ? 1 : 0;
    StampResult(r, decoded, h.job, film_);
    return r;
}

// A frame without any subtitle shows the whole background: the passes take nothing from beyond
// it but the pictures that a sighting there is blended over (FillSettings::blend), so a chunk's
// window ends that far beyond it with the same result, and a chunk can be filled as soon as those
// frames after its subtitle's end are read instead of a whole window later. The last frame
// without a subtitle in [from, first) less the blend's pictures (not before `from`), else `from`.
int64_t TemporalWorker::WindowStart(int64_t first, int64_t from) const {
    const int64_t base = held_.front().job.number, beyond = std::max(0, plan_.fill.blend - 1);
    for (int64_t num = first - 1; num >= from; --num)
        if (held_[(size_t)(num - base)].entry < 0) return std::max(from, num - beyond);
    return from;
}

// The first frame without a subtitle in (last, to] and the blend's pictures after it (not past
// the window after `last`), or -1 when there is none or `to` comes first.
int64_t TemporalWorker::WindowEnd(int64_t last, int64_t to) const {
    const int64_t base = held_.front().job.number, beyond = std::max(0, plan_.fill.blend - 1);
    for (int64_t num = last + 1; num <= to; ++num) {
        if (held_[(size_t)(num - base)].entry >= 0) continue;
        const int64_t end = std::min(num + beyond, last + plan_.window);
        return end <= to ? end : -1;
    }
    return -1;
}

// Frames older than the window before the first frame still to output are no longer needed.
void TemporalWorker::Trim() {
    if (held_.empty()) return;  // a run stopped before its first frame
    size_t k = 0;
    while (k < held_.size() && (held_[k].job.context || held_[k].emitted)) ++k;
    const int64_t keepFrom = (k < held_.size() ? held_[k].job.number : held_.back().job.number + 1) - plan_.window;
    while (!held_.empty() && held_.front().job.number < keepFrom) held_.pop_front();
    if (maskCache_.size() > 64) {
        maskCache_.clear();
        bandCache_.clear();
        ahead_.holes.clear();
    }
}
