// Refuses, before the run, graymaps the filter would wait on forever or read without end: a
// FIFO, a device or a socket named image_N.pgm. The module cannot tell them from files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/plugin/index_summary.h"

// Looks at the graymap of every entry that can match a frame, in the index's folder. A missing
// graymap or a folder is left to the module, which warns of it. Throws HostError
// (EXIT_FAILURE_RUN) naming the first graymap that is something else than a regular file.
void CheckGraymapFiles(const std::string &indexPath, const IndexSummary &index);

struct Graymap {
    int width = 0, height = 0;
    std::vector<uint8_t> cells;  // width * height, row after row
};

// A raw PGM (P5, maxval up to 255) as the recognition tool writes it; false when it is not one.
bool ReadGraymap(const std::string &path, Graymap *g);

// A raw PGM of `width` x `height` cells, rows `stride` cells apart from `cells` on.
std::string PgmBytes(int width, int height, const uint8_t *cells, std::ptrdiff_t stride);

// The graymap of entry `entry` of the index at `indexPath`: image_<entry>.pgm in its folder.
std::string GraymapPath(const std::string &indexPath, size_t entry);
