// What subremove knows of the index before a run: the count its header declares and every entry
// in index order, read by the module's own index parser, so that the run's cut points, the
// summary and the warnings see exactly the entries the filter sees.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "subtitles/index_parse.h"

// The most entries a header may declare; the filter reads none from an index that declares more.
constexpr long long kMaxIndexEntries = kMaxSubtitleEntries;

struct IndexEntry {
    int32_t firstFrame;  // inclusive
    int32_t lastFrame;   // inclusive
    int32_t x;           // left picture column of the graymap
    int32_t y;           // top picture row of the graymap
    bool matches;        // the entry can match a frame: a cut or broken token's place holder cannot
};

struct IndexSummary {
    long long declared = 0;  // saturated to int32; 0 without a header number
    std::vector<IndexEntry> entries;  // in index order: entry i takes its graymap from image_i.pgm
    std::vector<std::pair<int64_t, int64_t>> ranges;  // frame ranges of the entries that can match
};

// Reads the index at the local path `path` as the filter reads it, and no further. A path that is
// empty or cannot be opened gives an empty summary.
IndexSummary ReadIndexSummary(const std::string &path);
