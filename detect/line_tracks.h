// Subtitles of any style from a learned text detector's lines: which lines are subtitles, and
// their exact first and last frames, from the film's luma around them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "detect/detector.h"

class LineTracker {
public:
    // `interval`: frames between two sampled frames; a subtitle lasts `minSeconds` to `maxSeconds`.
    LineTracker(int width, int height, int interval, double framesPerSecond, double minSeconds, double maxSeconds);
    ~LineTracker();
    LineTracker(const LineTracker &) = delete;
    LineTracker &operator=(const LineTracker &) = delete;

    void AddFrame(const uint8_t *luma, std::ptrdiff_t stride);
    // The lines the detector found in frame `frame`, which AddFrame took at most 12 frames ago;
    // samples in the order of their frames. Lines that come later are not looked at.
    void AddTextLines(int64_t frame, const std::vector<SubtitleDetector::Box> &lines);
    // Ends the film; the subtitles found, in no particular order.
    std::vector<FoundSubtitle> Finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};
