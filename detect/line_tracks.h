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
    // `interval`: frames between two calls of AddTextLines (the lines of a sampled frame); a
    // subtitle lasts `minSeconds` to `maxSeconds`.
    LineTracker(int width, int height, int interval, double framesPerSecond, double minSeconds, double maxSeconds);
    ~LineTracker();
    LineTracker(const LineTracker &) = delete;
    LineTracker &operator=(const LineTracker &) = delete;

    // The lines the detector found in the frame AddFrame takes next.
    void AddTextLines(const std::vector<SubtitleDetector::Box> &lines);
    void AddFrame(const uint8_t *luma, std::ptrdiff_t stride);
    // Ends the film; the subtitles found, in no particular order.
    std::vector<FoundSubtitle> Finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};
