// Handing out the cues in order (see cue_schedule.h).
#include "cli/ocr/cue_schedule.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include <algorithm>

CueSchedule::CueSchedule(std::vector<CueFrames> cues, OcrWorker &worker, const FrameClock &clock, std::function<void(size_t)> hurry)
    : cues_(std::move(cues)), worker_(worker), clock_(clock), hurry_(std::move(hurry)) {}

std::optional<TimedCue> CueSchedule::NextBefore(int64_t until) {
    std::lock_guard<std::mutex> lock(mutex_);
    return Take(false, until);
}

std::optional<TimedCue> CueSchedule::NextAtEnd() {
    std::lock_guard<std::mutex> lock(mutex_);
    return Take(true, 0);
}

std::vector<TimedCue> CueSchedule::Given() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return given_;
}

// The text of cue `cue`, now: the samples of frames the run has not read yet, its own or an
// earlier cue's that the worker reads first, are given up.
const std::string &CueSchedule::TextOf(size_t cue) {
    if (hurry_) hurry_(cues_[cue].job);
    return worker_.Wait(cues_[cue].job).text;
}

// The frame the run must have read before cue `cue` is written: its last, or the sample frame of
// the neighbour it may join.
int64_t CueSchedule::NeededFrame(size_t cue) const {
    const bool joined = cue + 1 < cues_.size() && cues_[cue + 1].first == cues_[cue].last + 1;
    return joined ? std::max(cues_[cue].last, SampleFrame(cues_[cue + 1])) : cues_[cue].last;
}

// The last frame of cue `from` and of the neighbours that follow it frame after frame with the
// same text; `next` becomes the cue after them.
int64_t CueSchedule::MergedLast(size_t from, size_t *next) {
    const std::string &text = TextOf(from);
    int64_t last = cues_[from].last;
    size_t k = from + 1;
    while (k < cues_.size() && cues_[k].first == last + 1 && TextOf(k) == text) last = cues_[k++].last;
    *next = k;
    return last;
}

std::optional<TimedCue> CueSchedule::Take(bool atEnd, int64_t until) {
    const int64_t firstNoted = clock_.FirstNoted(), lastNoted = clock_.LastNoted();
    if (firstNoted < 0) return std::nullopt;  // no frame written
    const int64_t patience = av_rescale_q(kLongCueMicroseconds, AVRational{1, 1000000}, clock_.timeBase());
    while (next_ < cues_.size()) {
        const CueFrames &cue = cues_[next_];
        if (cue.last < firstNoted) {  // before the part written
            ++next_;
            continue;
        }
        if (atEnd && cue.first > lastNoted) return std::nullopt;  // after it
        const int64_t start = clock_.StartOf(std::max(cue.first, firstNoted));
        if (!atEnd && (start > until || (lastNoted < NeededFrame(next_) && until < start + patience))) return std::nullopt;
        size_t next = next_;
        int64_t last = MergedLast(next_, &next);
        if (atEnd) last = std::min(last, lastNoted);
        TimedCue timed{start, std::max(start, clock_.EndOf(last)), TextOf(next_)};
        next_ = next;
        given_.push_back(timed);
        return timed;
    }
    return std::nullopt;
}
