// Runs the film through several filter instances at once. The film is cut into runs of
// consecutive frames, only where no subtitle spans the cut, and each run goes whole to one
// instance on its own thread; so each subtitle is prepared once, by one instance, exactly as a
// single instance would prepare it, and the output does not depend on the number of threads.
// The calling thread decodes, hands out the runs, and writes the results back in frame order.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "cli/plugin_host.h"
#include "cli/video.h"

struct FilmTotals {
    int64_t frames = 0;
    int64_t repainted = 0;
};

// `ranges` are the index's subtitle frame ranges (where runs must not be cut). `progress` is
// called after each written frame with the number written so far.
FilmTotals ProcessFilm(const FilterModuleHandle &module, const FilterSettings &settings, bool settingsFromConfigLine,
                       VideoInput &input, VideoOutput &output, int threads,
                       const std::vector<std::pair<int64_t, int64_t>> &ranges,
                       const std::function<void(int64_t)> &progress);
