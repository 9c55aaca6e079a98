// --radius auto for an index written elsewhere: each entry's radius measured from the film.
#pragma once

#include <string>
#include <vector>

#include "cli/index_summary.h"

// Measures each entry's radius over its frames, for an index the detector did not write: one
// pass over the film, gathering around each graymap only while its subtitle is on screen. An
// entry whose graymap cannot be read, or that no frame shows, gets -1.
std::vector<int> SurveyRadii(const std::string &input, const std::string &indexPath, const IndexSummary &index);
