// One subtitle's text from its graymap: each line read, tidied, and kept only when Tesseract is
// sure enough of it. Nothing is guessed: a line it cannot read is left out, with a warning, and a
// subtitle with no line read has no text.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "cli/ocr/glyph_samples.h"
#include "cli/ocr/text_reader.h"

// Below this mean word confidence a line is taken as unreadable. Lines read right score 83 to 96
// on the test films; what Tesseract makes of pieces of picture or of a mangled graymap, 30 to 50.
constexpr int kMinLineConfidence = 65;

struct SubtitleText {
    std::string text;                         // lines joined by '\n'; empty when none was read
    std::map<std::string, size_t> languages;  // characters read in each language
    int lines = 0;                            // text lines found in the graymap
    int unreadable = 0;                       // of them, lines left out
    bool noGraymap = false;                   // the graymap is missing or not a PGM
};

// Reads the graymap at `path`; with `picture` (its rectangle in a frame the subtitle shows in),
// the glyphs alone where the graymap covers their outline too (glyph_fill.h). `earlier`: what
// the same graymap read alone gave, which stands where the picture changes nothing.
SubtitleText ReadSubtitleText(TextReader &reader, const std::string &path, const LumaCrop *picture = nullptr,
                              const SubtitleText *earlier = nullptr);

// The warning for a subtitle not wholly read, or "" when it was; `which` names the subtitle
// ("subtitle 4 (frames 120-180)").
std::string UnreadWarning(const SubtitleText &text, const std::string &which);
