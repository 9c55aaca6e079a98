// The temporal fill of one frame for the preview: the frames around it are decoded and run through
// a temporal worker exactly as the film's run would, from the start of the frame's stretch of
// subtitles, so the panel shows what the film will get.
#pragma once

#include <cstdint>

#include "cli/av_util.h"
#include "cli/front/options.h"

class FilterModuleHandle;
class RadiusPlan;
class VideoInput;

// The filled frame `number` in the film's own format, or null when no subtitle covers it.
// Cost: decoding and filling from the window before the frame's stretch of subtitles to the
// window after its chunk.
// `radii`: the widening of each subtitle (--radius auto), or null.
FramePtr TemporalPreviewFrame(const Options &o, const FilterModuleHandle &module, VideoInput &input, int64_t number,
                              const RadiusPlan *radii);
