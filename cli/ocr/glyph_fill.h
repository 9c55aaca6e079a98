// The glyphs alone, where a graymap covers more than them. subremove's own graymaps hold, for a
// subtitle found both by its outline and by the text detector, everything the subtitle covers:
// glyphs and outline as one mask, whose letters run together (Chinese is then unreadable). The
// picture under the mask tells them apart: within it, the glyphs' colour and the outline's are two
// tones far apart, and the outline is the tone along the mask's edge.
#pragma once

#include "cli/ocr/glyph_samples.h"
#include "cli/plugin/graymap_files.h"

// The cells of `mask` whose luma in `picture` (the mask's rectangle in a frame the subtitle
// shows in) is of the glyphs' tone, when the mask covers two tones (the smaller a sixth of it at
// least, 60 levels apart) and the outline's tone is a band two pixels deep or more; else `mask`
// as it is: a graymap of the glyphs alone has one tone, and at most a rim of anti-aliasing.
Graymap GlyphFill(const Graymap &mask, const LumaCrop &picture);
