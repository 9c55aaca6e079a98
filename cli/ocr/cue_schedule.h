// The cues of the subtitles read, in the order of their first frames, each handed out once its
// text is read and its times are known: to the film's subtitle stream as the film is written,
// and at the end to the SRT. Neighbouring subtitles with the same text (one subtitle the index
// cut in two) become one cue.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/ocr/frame_clock.h"
#include "cli/ocr/ocr_worker.h"
#include "cli/ocr/timed_cue.h"

struct CueFrames {
    int64_t first, last;  // the subtitle's frames, inclusive
    size_t job;           // its text: the worker's job
    size_t entry;         // its index entry
};

// The frame the picture under a subtitle is sampled from: its middle one, clear of fades and of
// an end found a frame or two off.
inline int64_t SampleFrame(const CueFrames &cue) { return cue.first + (cue.last - cue.first) / 2; }

class CueSchedule {
public:
    // `cues` in order of their first frames, their jobs numbered in that order. `hurry(job)` is
    // called before the text of `job` is waited for: samples of frames not read yet, of that job
    // or an earlier one, are then given up (the worker reads those graymaps alone).
    CueSchedule(std::vector<CueFrames> cues, OcrWorker &worker, const FrameClock &clock, std::function<void(size_t)> hurry);

    // The next cue, once the film is written up to `until` (the clock's time base): its first
    // frame's time has come, and its last frame (and the sample frame of a neighbour that follows
    // it frame after frame) has been read, or it started kLongCue ago (a frame not read yet is
    // placed at the nominal rate). Waits for its text. Nothing when none is due.
    std::optional<TimedCue> NextBefore(int64_t until);
    // The film is written: the next cue among the frames it holds, cut at its end; nothing when
    // none is left.
    std::optional<TimedCue> NextAtEnd();
    // Every cue handed out so far, in order.
    std::vector<TimedCue> Given() const;

    // How long after its start a cue is written without waiting for its last frame. The muxer
    // holds up to 10 s of the other streams' packets to put a late one in its place.
    static constexpr int64_t kLongCueMicroseconds = 4000000;

private:
    std::optional<TimedCue> Take(bool atEnd, int64_t until);
    int64_t MergedLast(size_t from, size_t *next);
    const std::string &TextOf(size_t cue);
    int64_t NeededFrame(size_t cue) const;

    std::vector<CueFrames> cues_;
    OcrWorker &worker_;
    const FrameClock &clock_;
    std::function<void(size_t)> hurry_;
    mutable std::mutex mutex_;
    size_t next_ = 0;
    std::vector<TimedCue> given_;
};
