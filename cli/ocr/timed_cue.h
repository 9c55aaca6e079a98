// One cue of the text read: a subtitle's text and when it shows.
#pragma once

#include <cstdint>
#include <string>

struct TimedCue {
    int64_t start, end;  // the film's time base: the first frame's start, the last frame's end
    std::string text;    // lines joined by '\n'; empty when nothing could be read
};
