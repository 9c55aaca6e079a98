// What a subtitle looks like once its frames are known: the glyph graymap, whether it is text at
// all, and the widening radius that covers its outline. Works on two planes gathered over the
// subtitle's frames around its place, the lowest and the highest luma each pixel took.
#pragma once

#include <cstdint>
#include <vector>

#include "detect/change_reach.h"
#include "detect/widening.h"

// The luma a pixel took over a subtitle's frames, in a rectangle of the picture.
struct LumaSpan {
    int left = 0, top = 0;      // the rectangle's place in the picture
    int width = 0, height = 0;
    std::vector<uint8_t> low;   // width * height, row after row: the lowest luma seen
    std::vector<uint8_t> high;  // the highest
    int64_t frames = 0;         // frames gathered

    void Reset(int x, int y, int w, int h);
    // Takes one frame's luma plane (the whole picture, `stride` bytes a row).
    void Add(const uint8_t *luma, std::ptrdiff_t stride);
};

// What the fill of the text is.
struct FillRule {
    int lightLow = 160;   // light text: the fill's luma is at least this...
    int lightHigh = 255;  // ...and at most this (narrowed by --detect-colour)
    int darkHigh = 90;    // dark text on a light box: the fill's luma is at most this
    int steady = 24;      // a pixel of the subtitle varies by at most this over its frames
};

struct SubtitleShape {
    bool text = false;          // looks like text: thin strokes, several glyphs, an outline or a box
    bool darkOnBox = false;
    int x = 0, y = 0;           // the graymap's place in the picture (a clear border around the fill)
    int width = 0, height = 0;
    std::vector<uint8_t> graymap;  // width * height, 255 on the fill, 0 elsewhere
    Widening widening;          // the smallest widening that covers the damage
    int reach = 0;              // how far the damage lies from the fill (Chebyshev pixels)
};

// The graymap and the verdict from the planes. `lowerBand` says the subtitle sits in the band
// where subtitles usually are, which takes a little less evidence.
SubtitleShape ShapeSubtitle(const LumaSpan &span, const FillRule &rule, bool lowerBand);

// Given a graymap (placed at x, y in the span's picture), how far the damage around it reaches:
// the steady pixels around it, and, with `change` (planes of the span's rectangle), what changed
// when it came and went (change_reach.h); the widening that covers the farther, or the change's
// alone where both ends saw a still picture (not measured when no frame was gathered or the
// graymap is blank). For indexes written by someone else.
Widening WideningAroundGraymap(const LumaSpan &span, const uint8_t *graymap, int x, int y, int width, int height,
                               const FillRule &rule, const ComeAndGo *change = nullptr);
