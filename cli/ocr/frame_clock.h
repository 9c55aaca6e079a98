// When each frame of the film is shown: the times the subtitles' cues start and end at. Frames
// are noted as the run reads them (their timestamps, shifted to a part's start as the film's
// are); a frame not noted yet is placed from the last one noted before it at the nominal rate.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

extern "C" {
#include <libavutil/rational.h>
}

class FrameClock {
public:
    // Times in `timeBase`; `nominal`: a frame's duration at the film's frame rate; `origin`: the
    // time the film starts at (its stream's start), which the SRT counts from.
    FrameClock(AVRational timeBase, int64_t nominal, int64_t origin);
    FrameClock(const FrameClock &) = delete;
    FrameClock &operator=(const FrameClock &) = delete;

    // Frames whose times are kept when noted (the cues' first and last frames); others only
    // move the prediction on.
    void Want(int64_t number);
    // Frame `number` was read: shown at `pts` for `duration`. Safe on any thread.
    void Note(int64_t number, int64_t pts, int64_t duration);

    // The first and last frame noted; -1 before any.
    int64_t FirstNoted() const;
    int64_t LastNoted() const;
    bool Noted(int64_t number) const;
    // When frame `number` starts and ends (its start plus its duration).
    int64_t StartOf(int64_t number) const;
    int64_t EndOf(int64_t number) const;

    AVRational timeBase() const { return timeBase_; }
    // A time in microseconds from the film's start.
    int64_t Microseconds(int64_t time) const;

private:
    struct Shown {
        int64_t pts, duration;
    };
    Shown Place(int64_t number) const;

    AVRational timeBase_;
    int64_t nominal_;
    int64_t origin_;
    mutable std::mutex mutex_;
    std::set<int64_t> wanted_;
    std::map<int64_t, Shown> kept_;
    int64_t first_ = -1, last_ = -1;
    Shown firstShown_{0, 0}, lastShown_{0, 0};
};
