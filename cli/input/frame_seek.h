// Finding frame N of a film by seeking instead of decoding from the start, with the same picture.
#pragma once

#include <cstdint>

struct AVFrame;
class VideoInput;

// Seeks to the key frame at or before frame `number`, decodes forward and returns frame `number`.
// A frame's number is told from its timestamp, (pts - stream start) * frame rate, and every frame
// decoded on the way must sit exactly on its counted place; null when any does not (a variable
// frame rate, a gap, no timestamps), when the seek lands after the frame, when decoding fails, or
// at the film's end: the caller then decodes from the start, which is exact by counting.
AVFrame *SeekFrame(VideoInput &input, int64_t number);

// The number of the frame at or after `timeUs` from the film's start, at the film's frame rate.
int64_t FrameAtTime(const VideoInput &input, int64_t timeUs);
