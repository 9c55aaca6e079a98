// Finds burnt-in subtitles in a film, frame by frame in one pass over the luma planes: each
// subtitle's first and last frame, its glyph graymap and place, and the widening that covers it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "detect/subtitle_shape.h"

struct DetectSettings {
    FillRule fill;
    int contrast = 60;        // fill against the outline (or the box against the text), in luma
    int regionTop = 0;        // the band searched, in percent of the height from the top
    int regionBottom = 100;
    double framesPerSecond = 25;
    double minSeconds = 0.6;  // shorter appearances are not subtitles
    double maxSeconds = 12;   // nor is anything that stays longer (a logo, a sign)
    // Text lines from a learned detector will be given (AddTextLines) every this many frames; 0:
    // none will. Costs a ring of twice as many full-size luma planes and 16 more.
    int proposalInterval = 0;
};

struct FoundSubtitle {
    int64_t first = 0, last = 0;  // frames, both included
    int fadeIn = 0, fadeOut = 0;  // frames at either end where it was fading (fade.h)
    SubtitleShape shape;
};

class SubtitleDetector {
public:
    // `width` x `height`: the luma planes AddFrame takes.
    SubtitleDetector(int width, int height, const DetectSettings &settings);
    ~SubtitleDetector();
    SubtitleDetector(const SubtitleDetector &) = delete;
    SubtitleDetector &operator=(const SubtitleDetector &) = delete;

    // Places in the picture: left, top, width, height.
    struct Box {
        int x, y, width, height;
    };

    // Text lines a learned detector found in frame `frame`, given to AddFrame at most 12 frames
    // ago: subtitles of any colour and style among them are found as well (line_tracks.h), and
    // their damage measured from the film (proposed_shape.h).
    void AddTextLines(int64_t frame, const std::vector<Box> &lines);
    // The next frame's luma (frames are numbered from 0 in the order given).
    void AddFrame(const uint8_t *luma, std::ptrdiff_t stride);
    // Ends the film: what is still on screen ends at the last frame. Returns every subtitle found,
    // ordered by first frame, then top to bottom.
    std::vector<FoundSubtitle> Finish();
    // Places on screen in the last frame given, to draw.
    std::vector<Box> ActiveBoxes() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};
