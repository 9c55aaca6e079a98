// Splits overlapping subtitles into entries of one graymap each (see timeline.h). The frame
// numbers where any subtitle starts or ends after another cut the film into pieces; each piece
// shows a fixed set of subtitles, and neighbouring pieces with the same set are one entry.
#include "detect/timeline.h"

#include <algorithm>

SubtitleShape UniteShapes(const std::vector<const SubtitleShape *> &shapes) {
    SubtitleShape out = *shapes.front();
    if (shapes.size() == 1) return out;
    int x0 = out.x, y0 = out.y, x1 = out.x + out.width, y1 = out.y + out.height;
    for (const SubtitleShape *s : shapes) {
        x0 = std::min(x0, s->x), y0 = std::min(y0, s->y);
        x1 = std::max(x1, s->x + s->width), y1 = std::max(y1, s->y + s->height);
        out.widening = std::max(out.widening, s->widening);
        out.reach = std::max(out.reach, s->reach);
        out.darkOnBox = out.darkOnBox || s->darkOnBox;
    }
    out.x = x0, out.y = y0, out.width = x1 - x0, out.height = y1 - y0;
    out.graymap.assign((size_t)out.width * out.height, 0);
    for (const SubtitleShape *s : shapes)
        for (int r = 0; r < s->height; ++r)
            for (int c = 0; c < s->width; ++c)
                out.graymap[(size_t)(s->y - y0 + r) * out.width + (s->x - x0 + c)] |= s->graymap[(size_t)r * s->width + c];
    return out;
}

std::vector<FoundSubtitle> OneSubtitlePerFrame(const std::vector<FoundSubtitle> &found) {
    std::vector<int64_t> cuts;
    for (const FoundSubtitle &f : found) {
        cuts.push_back(f.first);
        cuts.push_back(f.last + 1);
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    std::vector<FoundSubtitle> out;
    std::vector<size_t> previous;
    for (size_t k = 0; k + 1 < cuts.size(); ++k) {
        const int64_t from = cuts[k], to = cuts[k + 1] - 1;
        std::vector<size_t> shown;
        for (size_t i = 0; i < found.size(); ++i)
            if (found[i].first <= from && to <= found[i].last) shown.push_back(i);
        if (!shown.empty() && shown == previous && out.back().last == from - 1) {
            out.back().last = to;
        } else if (!shown.empty()) {
            std::vector<const SubtitleShape *> shapes;
            for (size_t i : shown) shapes.push_back(&found[i].shape);
            FoundSubtitle f;
            f.first = from, f.last = to, f.shape = UniteShapes(shapes);
            out.push_back(std::move(f));
        }
        previous = shown;
    }
    return out;
}
