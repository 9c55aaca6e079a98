// The shape of a subtitle that a learned text detector pointed at: its damage measured from the
// film itself, whatever its style (outline or none, hard or soft shadow, any colour), and the
// verdict that tells it from text in the scene.
#pragma once

#include <cstdint>
#include <vector>

#include "detect/subtitle_shape.h"

// What the film showed around the subtitle: its span over its frames, and the picture in the frame
// before its first and in the frame after its last (each `span`-sized, empty when unknown: the film
// starts or ends there, or the frame was no longer kept).
struct ProposedEvidence {
    const LumaSpan *span = nullptr;
    std::vector<uint8_t> before, after;
    // Span-sized: 255 inside the boxes of the text lines the detector found, grown by a margin;
    // the damage is looked for only there.
    std::vector<uint8_t> lines;
    int lineHeight = 0;  // the height of the detector's line
    int pictureHeight = 0;  // rows of the whole picture: styles, and so the reach past the damage, scale with it
};

// The damage is what stays steady while the subtitle shows and differs from both the picture
// before it came and the picture after it went, or stays lighter (darker) than both all along:
// its fill, outline, shadow and anti-aliasing, and nothing of a picture that moves (never steady)
// or stands still (the same before, during and after). The graymap is that damage, widened a few
// pixels further for what a moving picture kept from being steady (a translucent shadow). Not
// text when the damage is small, when the picture around the lines changed at once as well (a
// camera that stops, a scene that holds: a subtitle changes its own pixels and no others), when
// it is solid rather than strokes (a thing put down in the scene) unless it is a wide box, or
// when the frame before or the one after is not known (a line there from the film's first frame,
// or to its last, is a thing in the scene as much as a subtitle).
SubtitleShape ShapeProposed(const ProposedEvidence &evidence);
