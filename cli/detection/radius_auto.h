// --radius auto for an index written elsewhere: each entry's widening measured from the film.
#pragma once

#include <string>
#include <vector>

#include "cli/plugin/index_summary.h"
#include "detect/widening.h"

// Measures each entry's widening over its frames, for an index the detector did not write: one
// pass over the film, gathering around each graymap while its subtitle is on screen and in the
// frames just before and after. An entry whose graymap cannot be read, or that no frame shows, is
// left unmeasured.
std::vector<Widening> SurveyWidenings(const std::string &input, const std::string &indexPath, const IndexSummary &index);
