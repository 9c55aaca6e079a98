// Which picture rows the filter can read or change in a frame, so that the colour conversions
// can leave the others alone.
//
// For a subtitle whose graymap covers picture rows [top, bottom), the widening reaches `radius`
// rows beyond (each pass i stays within the graymap's rectangle widened by i), and the border
// samples reach ceil(depth x scaleY x 0.1) + 1 rows beyond that (one more with interlacing, where
// the reach is made even). A margin for the scaler's vertical filter and an alignment to whole
// chroma rows come on top, so the rows the filter reads convert exactly as in a whole-frame
// conversion. Where the graymap's height cannot be told, the band is the whole frame.
//
// Cost: one graymap header read per index entry, once; a binary search per frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/plugin/plugin_host.h"

// A subtitle as the index places it: frames, top row, and its graymap image_<position>.pgm.
struct SubtitlePlace {
    int64_t first;
    int64_t last;
    int64_t top;
    int64_t position;
};

struct RowBand {
    int begin = 0;  // first picture row, from the top
    int end = 0;    // one past the last
};

// Rows a conversion must cover for a graymap on picture rows [top, bottom) in a frame of
// `frameHeight` rows, aligned to multiples of `align` rows.
RowBand ReachedRows(int64_t top, int64_t bottom, const FilterSettings &settings, int frameHeight, int align);

// The height in a raw PGM header ("P5", width, height, maxval, comments allowed); -1 when the
// file cannot be read or the header is not whole.
int64_t GraymapHeight(const std::string &path);

class FilterReach {
public:
    FilterReach(const std::vector<SubtitlePlace> &places, const std::string &indexPath, const FilterSettings &settings,
                int frameHeight, int align);
    // The rows to convert for `frame`: the union over every subtitle that covers it.
    RowBand BandFor(int64_t frame) const;

private:
    struct Span {
        int64_t first;
        int64_t last;
        RowBand band;
    };
    std::vector<Span> spans_;  // sorted, not overlapping
    int frameHeight_;
};
