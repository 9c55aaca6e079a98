// Decoded FFmpeg frames as the temporal fill's plain pictures: one plane per component, in the
// frame's own sample type, with the chroma planes' subsampling and siting.
#pragma once

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <string>

#include "temporal/planes.h"

// True when the temporal fill can work on `format` in place: every component in a plane of its
// own, 8 bits in bytes or 9 to 16 bits in native-endian words. Else `why` says what it is.
bool TemporalFormatSupported(AVPixelFormat format, std::string *why);
// The planes of `frame`, whose format must be supported. Unspecified siting is taken as MPEG-2's
// (chroma left of centre, between the rows), FFmpeg's default for 4:2:0.
temporal::PictureRef PictureOf(const AVFrame *frame);
