// Which decoded frames belong to the part of the film a run writes (see film_part.h).
#include "cli/input/film_part.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/mathematics.h>
}

#include "cli/front/options.h"

FilmPart MakeFilmPart(const std::string &start, const std::string &end, const std::string &duration, int64_t maxFrames) {
    FilmPart part;
    if (!start.empty()) part.startUs = ParseTime(start, true);
    if (!duration.empty()) part.endUs = part.startUs + ParseTime(duration, true);
    else if (!end.empty()) part.endUs = ParseTime(end, true);
    part.maxFrames = maxFrames;
    return part;
}

int64_t FrameTimeUs(int64_t timestamp, int64_t streamStart, AVRational timeBase, int64_t number, AVRational frameRate) {
    if (timestamp == AV_NOPTS_VALUE) return av_rescale_q(number, av_inv_q(frameRate), AVRational{1, 1000000});
    const int64_t from = streamStart == AV_NOPTS_VALUE ? 0 : streamStart;
    return av_rescale_q(timestamp - from, timeBase, AVRational{1, 1000000});
}

PartPlace PlaceInPart(const FilmPart &part, int64_t timeUs, int64_t written) {
    if (part.maxFrames >= 0 && written >= part.maxFrames) return PartPlace::kAfter;
    if (part.endUs >= 0 && timeUs >= part.endUs) return PartPlace::kAfter;
    return timeUs < part.startUs ? PartPlace::kBefore : PartPlace::kInside;
}
