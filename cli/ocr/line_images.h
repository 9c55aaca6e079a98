// A subtitle's graymap made ready for reading: cut into its text lines at the blank rows between
// them, each line dark on white with a white border, as Tesseract's single-line mode reads best.
#pragma once

#include <cstdint>
#include <vector>

#include "cli/plugin/graymap_files.h"

struct LineImage {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;  // width * height, row after row, 0 black (text) to 255 white
};

// White around each line, in pixels of the (scaled) line image: what the team measured reads
// every test line right with Tesseract 5.3.
constexpr int kLineBorder = 20;

// The text lines of `g` from top to bottom; none when it holds no ink. A band of rows thinner than
// three strokes (the dots of an i, a stroke of 二 or 三) is no line of its own: it joins the
// nearer band beside it. A line under 24 pixels high is scaled up to 36 (at most threefold), where
// one-pixel strokes read better.
std::vector<LineImage> TextLines(const Graymap &g);
