// The preview of chosen frames: original | mask | final side by side in one PNG each, to tune the
// settings before a long run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.h"

class FilterModuleHandle;
class VideoInput;

// Finds each frame of `o.previews` (by seeking where that is exact), filters it in the three modes
// and writes its strip; says when the index shows no subtitle in it.
int Preview(const Options &o, const FilterModuleHandle &module, VideoInput &input);

// Writes an RGB24 picture (top-down, `width` * 3 bytes per row) as a PNG file, via a temporary name.
void WritePng(const std::string &path, int width, int height, const std::vector<uint8_t> &rgb);
