// Facts about pixel formats that the colour conversion and the encoder policy both rely on.
#pragma once

extern "C" {
#include <libavutil/pixfmt.h>
}

// yuvj420p -> yuv420p and the other yuvj* formats likewise: the same samples, meant as pc range.
// Any other format is itself.
AVPixelFormat SampleTwin(AVPixelFormat format);
// True for the yuvj* formats, which mean pc range whatever the frame says.
bool IsJpegFormat(AVPixelFormat format);
bool IsRgbFormat(AVPixelFormat format);
