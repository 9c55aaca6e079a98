// The part of a film a run writes (-ss, -to / -t, --frames), and which decoded frames belong to it.
// Frames keep the film's own numbers: the part is found by decoding from the first frame and
// skipping, so frame N is the N-th decoded frame whatever the part, exactly as in a whole run.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/rational.h>
}

struct FilmPart {
    int64_t startUs = 0;     // first time kept, from the film's start
    int64_t endUs = -1;      // first time no longer kept; -1: the film's end
    int64_t maxFrames = -1;  // -1: no limit
    bool Whole() const { return startUs == 0 && endUs < 0 && maxFrames < 0; }
};

// From the flags' texts (already checked by the parser); -t wins over -to, as in FFmpeg.
FilmPart MakeFilmPart(const std::string &start, const std::string &end, const std::string &duration, int64_t maxFrames);

// A decoded frame's time from the film's start in microseconds: from its timestamp when it has
// one, else from its number and the frame rate.
int64_t FrameTimeUs(int64_t timestamp, int64_t streamStart, AVRational timeBase, int64_t number, AVRational frameRate);

enum class PartPlace { kBefore, kInside, kAfter };
// `written`: frames of the part already written.
PartPlace PlaceInPart(const FilmPart &part, int64_t timeUs, int64_t written);
