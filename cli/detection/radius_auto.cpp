// The radius survey of --radius auto (see radius_auto.h): decodes the film once and keeps, per
// subtitle on screen, one LumaSpan (the lowest and highest luma around the graymap) and the luma
// of the same rectangle in the frame before its first, its first two frames, its last two and the
// frame after its last; when the subtitle has gone, detect/ measures how far its steady
// surroundings and what changed as it came and went reach. A frame is converted to luma only when
// a subtitle is on screen, starts at the next frame or waits for the frame after its last.
// Whether another subtitle showed in the rectangle in the frame before or after is looked up in
// the whole index. Cost: one conversion and a few copies of the rectangles per such frame; each
// graymap read twice (its size first, for that look-up); the look-ups O(n) a subtitle, 4 million
// comparisons in all for 2000 subtitles.
#include "cli/detection/radius_auto.h"

#include <algorithm>
#include <cstdio>
#include <memory>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "cli/errors.h"
#include "cli/front/interrupt.h"
#include "cli/input/input.h"
#include "cli/plugin/graymap_files.h"
#include "detect/subtitle_shape.h"

namespace {

// Pixels around the graymap's rectangle: the damage's rings and the picture's rings past them
// (detect/change_reach.cpp reads rings up to 29 pixels from the fill).
constexpr int kSurveyMargin = 32;

struct Rect {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // x1, y1 past the last column and row
    bool Empty() const { return x0 >= x1 || y0 >= y1; }
    bool Meets(const Rect &o) const { return x0 < o.x1 && o.x0 < x1 && y0 < o.y1 && o.y0 < y1; }
};

struct OnScreen {
    size_t entry;
    Graymap graymap;
    LumaSpan span;
    ComeAndGo change;
};

class Survey {
public:
    Survey(const std::string &indexPath, const IndexSummary &index, int width, int height);
    // Whether frame `number` is needed as luma.
    bool Needs(int64_t number) const;
    // Frame `number`'s luma, when needed; `previous` is frame number - 1's, or null.
    void Frame(int64_t number, const uint8_t *luma, const uint8_t *previous);
    // The film has ended: measures what is left.
    void Finish();

    std::vector<Widening> widenings;

private:
    void Start(int64_t number, const uint8_t *previous);
    void Measure(OnScreen &s);
    // Whether no other entry holding frame `frame` lies within entry `entry`'s rectangle.
    bool AloneAt(size_t entry, int64_t frame) const;
    std::vector<uint8_t> Crop(const uint8_t *luma, const LumaSpan &span) const;

    const std::string &indexPath_;
    const IndexSummary &index_;
    int width_, height_;
    std::vector<size_t> order_;  // the matching entries by first frame
    std::vector<Rect> places_;   // each entry's rectangle, the margin included; empty when unread
    size_t next_ = 0;
    std::vector<OnScreen> shown_, going_;  // on screen; gone at the frame before, awaiting `after`
    FillRule rule_;
};

Survey::Survey(const std::string &indexPath, const IndexSummary &index, int width, int height)
    : widenings(index.entries.size()), indexPath_(indexPath), index_(index), width_(width), height_(height),
      places_(index.entries.size()) {
    for (size_t i = 0; i < index.entries.size(); ++i) {
        const IndexEntry &e = index.entries[i];
        Graymap g;
        if (!e.matches || !ReadGraymap(GraymapPath(indexPath, i), &g)) continue;
        order_.push_back(i);
        places_[i] = {std::max(0, e.x - kSurveyMargin), std::max(0, e.y - kSurveyMargin),
                      std::min(width, e.x + g.width + kSurveyMargin), std::min(height, e.y + g.height + kSurveyMargin)};
    }
    std::stable_sort(order_.begin(), order_.end(),
                     [&](size_t a, size_t b) { return index.entries[a].firstFrame < index.entries[b].firstFrame; });
}

bool Survey::Needs(int64_t number) const {
    return !shown_.empty() || !going_.empty() ||
           (next_ < order_.size() && index_.entries[order_[next_]].firstFrame <= number + 1);
}

bool Survey::AloneAt(size_t entry, int64_t frame) const {
    for (size_t j : order_) {
        const IndexEntry &e = index_.entries[j];
        if (j == entry || e.firstFrame > frame || frame > e.lastFrame) continue;
        if (places_[j].Meets(places_[entry])) return false;
    }
    return true;
}

std::vector<uint8_t> Survey::Crop(const uint8_t *luma, const LumaSpan &span) const {
    std::vector<uint8_t> out((size_t)span.width * span.height);
    for (int r = 0; r < span.height; ++r)
        std::copy_n(luma + (size_t)(span.top + r) * width_ + span.left, span.width, &out[(size_t)r * span.width]);
    return out;
}

void Survey::Start(int64_t number, const uint8_t *previous) {
    for (; next_ < order_.size() && index_.entries[order_[next_]].firstFrame <= number; ++next_) {
        const size_t i = order_[next_];
        const IndexEntry &e = index_.entries[i];
        const Rect &p = places_[i];
        OnScreen s{i, {}, {}, {}};
        if (e.lastFrame < number || p.Empty() || !ReadGraymap(GraymapPath(indexPath_, i), &s.graymap)) continue;
        s.span.Reset(p.x0, p.y0, p.x1 - p.x0, p.y1 - p.y0);
        if (previous && e.firstFrame == number && AloneAt(i, number - 1)) s.change.before = Crop(previous, s.span);
        shown_.push_back(std::move(s));
    }
}

void Survey::Frame(int64_t number, const uint8_t *luma, const uint8_t *previous) {
    for (OnScreen &s : going_) {
        if (AloneAt(s.entry, number)) s.change.after = Crop(luma, s.span);
        Measure(s);
    }
    going_.clear();
    Start(number, previous);
    for (auto it = shown_.begin(); it != shown_.end();) {
        it->span.Add(luma, width_);
        const IndexEntry &e = index_.entries[it->entry];
        if (number == e.firstFrame) it->change.first = Crop(luma, it->span);
        if (number == e.firstFrame + 1) it->change.second = Crop(luma, it->span);
        if (e.lastFrame > number) {
            ++it;
            continue;
        }
        it->change.last = Crop(luma, it->span);
        if (previous && number > e.firstFrame) it->change.penultimate = Crop(previous, it->span);
        going_.push_back(std::move(*it));
        it = shown_.erase(it);
    }
}

void Survey::Finish() {
    for (OnScreen &s : going_) Measure(s);
    for (OnScreen &s : shown_) Measure(s);
    going_.clear();
    shown_.clear();
}

void Survey::Measure(OnScreen &s) {
    const IndexEntry &e = index_.entries[s.entry];
    widenings[s.entry] = WideningAroundGraymap(s.span, s.graymap.cells.data(), e.x, e.y, s.graymap.width,
                                               s.graymap.height, rule_, &s.change);
}

}  // namespace

std::vector<Widening> SurveyWidenings(const std::string &inputPath, const std::string &indexPath, const IndexSummary &index) {
    VideoInput input(inputPath, 2);
    const int w = input.width(), h = input.height();
    Survey survey(indexPath, index, w, h);
    std::vector<uint8_t> planes[2] = {std::vector<uint8_t>((size_t)w * h), std::vector<uint8_t>((size_t)w * h)};
    int64_t converted = -1;  // the number of the frame last converted, in planes[converted & 1]
    SwsContext *scaler = nullptr;
    std::unique_ptr<SwsContext, void (*)(SwsContext *)> scalerOwner(nullptr, sws_freeContext);
    int64_t number = 0;
    for (AVFrame *frame; (frame = input.NextFrame()) != nullptr; ++number) {
        ThrowIfInterrupted();
        if (!survey.Needs(number)) continue;
        scaler = sws_getCachedContext(scaler, w, h, (AVPixelFormat)frame->format, w, h, AV_PIX_FMT_GRAY8, SWS_POINT,
                                      nullptr, nullptr, nullptr);
        scalerOwner.release();
        scalerOwner.reset(scaler);
        if (!scaler) throw HostError(EXIT_FAILURE_RUN, "cannot read the luma of the film's pictures");
        uint8_t *out[4] = {planes[number & 1].data(), nullptr, nullptr, nullptr};
        int lines[4] = {w, 0, 0, 0};
        sws_scale(scaler, frame->data, frame->linesize, 0, h, out, lines);
        const uint8_t *previous = converted == number - 1 ? planes[(number - 1) & 1].data() : nullptr;
        survey.Frame(number, planes[number & 1].data(), previous);
        converted = number;
    }
    survey.Finish();
    return std::move(survey.widenings);
}
