// Frame times for the cues (see frame_clock.h).
#include "cli/ocr/frame_clock.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include <algorithm>
#include <iterator>

FrameClock::FrameClock(AVRational timeBase, int64_t nominal, int64_t origin)
    : timeBase_(timeBase), nominal_(std::max<int64_t>(1, nominal)), origin_(origin) {}

void FrameClock::Want(int64_t number) {
    std::lock_guard<std::mutex> lock(mutex_);
    wanted_.insert(number);
}

void FrameClock::Note(int64_t number, int64_t pts, int64_t duration) {
    const Shown shown{pts, duration > 0 ? duration : nominal_};
    std::lock_guard<std::mutex> lock(mutex_);
    if (first_ < 0) first_ = number, firstShown_ = shown;
    last_ = number;
    lastShown_ = shown;
    if (wanted_.count(number)) kept_[number] = shown;
}

int64_t FrameClock::FirstNoted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_;
}

int64_t FrameClock::LastNoted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_;
}

bool FrameClock::Noted(int64_t number) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_ >= 0 && number >= first_ && number <= last_;
}

// A frame's place: as noted, else from the nearest frame noted before it (the first frame noted
// for one before that), at the nominal rate.
FrameClock::Shown FrameClock::Place(int64_t number) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto kept = kept_.find(number);
    if (kept != kept_.end()) return kept->second;
    if (first_ < 0 || number <= first_) return first_ < 0 ? Shown{0, nominal_} : firstShown_;
    int64_t from = first_;
    Shown base = firstShown_;
    if (number >= last_) from = last_, base = lastShown_;
    auto below = kept_.upper_bound(number);
    if (below != kept_.begin() && std::prev(below)->first > from) from = std::prev(below)->first, base = std::prev(below)->second;
    return Shown{base.pts + (number - from) * nominal_, nominal_};
}

int64_t FrameClock::StartOf(int64_t number) const { return Place(number).pts; }

int64_t FrameClock::EndOf(int64_t number) const {
    const Shown shown = Place(number);
    return shown.pts + shown.duration;
}

int64_t FrameClock::Microseconds(int64_t time) const { return av_rescale_q(time - origin_, timeBase_, AVRational{1, 1000000}); }
