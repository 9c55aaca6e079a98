// Runs the film through the filter: decoding, filtering on worker threads, encoding on encoder
// threads and writing in frame order, wired from the stages of stage.h.
//
// The film is cut into runs of consecutive frames, only where no subtitle spans the cut, and each
// run goes whole to one filter instance; so each subtitle is prepared once, by one instance,
// exactly as a single instance would prepare it. Encoders whose bytes do not depend on how many
// contexts share the work (FFV1, PNG) code whole groups of frames on several contexts. The output
// therefore does not depend on the number of threads.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "cli/input/film_part.h"
#include "cli/pipeline/filter_reach.h"
#include "cli/pipeline/frame_ranges.h"
#include "cli/plugin/plugin_host.h"

struct AVFrame;
class RadiusPlan;
class VideoInput;
class VideoOutput;

struct FilmTotals {
    int64_t frames = 0;     // frames written
    int64_t decoded = 0;    // frames decoded, the skipped ones before the part too
    int64_t filtered = 0;   // frames handed to the filter
    int64_t repainted = 0;  // frames it changed
};

struct FilmSettings {
    FilterSettings filter;
    bool fromConfigLine = false;
    int threads = 1;                 // threads of the run; 1: everything on the calling thread
    int instances = 1;               // filter instances, at most `threads`
    std::vector<FrameRange> ranges;  // the index's subtitle frame ranges
    const FilterReach *reach = nullptr;  // rows the filter reaches per frame; null: every row
    FilmPart part;                   // the frames written; their timestamps start at the part's start
    bool temporal = false;           // the temporal fill (in the final mode)
    int temporalWindow = 48;         // its frames each way
    const RadiusPlan *radii = nullptr;   // --radius auto: one instance per widening; null: filter.radius
    // Called on the reading thread for each frame of the part as it is read: its number, the
    // decoded picture, and the timestamp and duration it is written with (--ocr times its cues by
    // them, and samples the picture under each subtitle).
    std::function<void(int64_t number, const AVFrame *frame, int64_t pts, int64_t duration)> frameRead;
};

// `progress` is called after each written frame with the number written so far.
FilmTotals ProcessFilm(const FilterModuleHandle &module, const FilmSettings &settings, VideoInput &input,
                       VideoOutput &output, const std::function<void(int64_t)> &progress);
