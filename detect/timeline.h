// The index gives each frame at most one subtitle (the module shows the first entry that holds
// the frame): subtitles found on screen together become entries of their own frames, each with
// the union of the graymaps shown in them.
#pragma once

#include <vector>

#include "detect/detector.h"

// Entries that never overlap in frames, ordered by first frame. Frames where one subtitle is on
// screen keep it as it is; a run of frames with the same several shows them all in one graymap
// with the largest of their radii. Cost: O(n^2) in the subtitles on screen together, which are few.
std::vector<FoundSubtitle> OneSubtitlePerFrame(const std::vector<FoundSubtitle> &found);

// The union of `shapes`' graymaps in the bounding box of them all; the largest widening and reach.
SubtitleShape UniteShapes(const std::vector<const SubtitleShape *> &shapes);
