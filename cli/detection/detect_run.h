// subremove --detect DIR: runs the film through the subtitle detector (detect/) and writes what it
// found as the recognition tool would: DIR/subs.bms and DIR/image_N.pgm.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/front/options.h"
#include "detect/widening.h"

struct DetectedFilm {
    std::string index;         // DIR/subs.bms
    std::vector<Widening> widenings;  // per index entry, the widening that covers its outline
    int64_t frames = 0;
    double seconds = 0;        // the detection pass, decoding included
};

// One pass over the film; writes the index and graymaps (an existing subs.bms needs -y).
DetectedFilm DetectFilm(const Options &o);

// Where the subtitles found go when no --detect folder was named (subremove INPUT OUTPUT): a new
// private folder under $TMPDIR (or /tmp), removed with what was written into it when the run
// ends, however it ends. The module reads them from there as from any folder.
class FoundFolder {
public:
    FoundFolder();  // throws HostError when the folder cannot be made
    ~FoundFolder();
    FoundFolder(const FoundFolder &) = delete;
    FoundFolder &operator=(const FoundFolder &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};
