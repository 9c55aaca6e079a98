// The preview of chosen frames: original | mask | final side by side in one PNG each, to tune the
// settings before a long run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/front/options.h"
#include "cli/output/output_target.h"

class FilterModuleHandle;
class RadiusPlan;
class VideoInput;

// Finds each frame of `o.previews` (by seeking where that is exact), filters it in the three modes
// and writes its strip; says when the index shows no subtitle in it. `radii` (--radius auto) gives
// each frame its subtitle's widening. After --detect, the original panel shows the found box.
int Preview(const Options &o, const FilterModuleHandle &module, VideoInput &input, const RadiusPlan *radii = nullptr);

// Writes an RGB24 picture (top-down, `width` * 3 bytes per row) as a PNG file, via a temporary name.
// The output checks and the temporary file are those of a film's output (an existing file needs -y).
void WritePng(const std::string &path, int width, int height, const std::vector<uint8_t> &rgb, const TargetRules &rules);
