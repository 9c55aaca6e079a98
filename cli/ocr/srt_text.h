// The SubRip (SRT) text of the cues read: numbered from 1, times from the film's start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/ocr/frame_clock.h"
#include "cli/ocr/timed_cue.h"

// The SRT of `cues`, their times on `clock`. A cue without text keeps its number and times, so
// that its words can be typed in.
std::string SrtText(const std::vector<TimedCue> &cues, const FrameClock &clock);
// "01:02:03,456" for microseconds from the film's start, to the nearest millisecond.
std::string SrtTime(int64_t microseconds);
