// Refuses, before the run, graymaps the filter would wait on forever or read without end: a
// FIFO, a device or a socket named image_N.pgm. The module cannot tell them from files.
#pragma once

#include <string>

#include "cli/index_summary.h"

// Looks at the graymap of every entry that can match a frame, in the index's folder. A missing
// graymap or a folder is left to the module, which warns of it. Throws HostError
// (EXIT_FAILURE_RUN) naming the first graymap that is something else than a regular file.
void CheckGraymapFiles(const std::string &indexPath, const IndexSummary &index);
