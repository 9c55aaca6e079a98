// The radius survey of --radius auto (see radius_auto.h): decodes the film once and keeps one
// LumaSpan (the lowest and highest luma around the graymap) per subtitle on screen; when the
// subtitle ends, detect/ measures how far its steady surroundings reach.
#include "cli/detection/radius_auto.h"

#include <algorithm>
#include <cstdio>
#include <memory>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "cli/errors.h"
#include "cli/plugin/graymap_files.h"
#include "cli/input/input.h"
#include "cli/front/interrupt.h"
#include "detect/subtitle_shape.h"

namespace {

constexpr int kSurveyMargin = 16;

struct OnScreen {
    size_t entry;
    Graymap graymap;
    LumaSpan span;
};

}  // namespace

std::vector<Widening> SurveyWidenings(const std::string &inputPath, const std::string &indexPath, const IndexSummary &index) {
    std::vector<Widening> widenings(index.entries.size());
    std::vector<size_t> order;
    for (size_t i = 0; i < index.entries.size(); ++i)
        if (index.entries[i].matches) order.push_back(i);
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return index.entries[a].firstFrame < index.entries[b].firstFrame; });
    VideoInput input(inputPath, 2);
    const int w = input.width(), h = input.height();
    std::vector<uint8_t> plane((size_t)w * h);
    SwsContext *scaler = nullptr;
    std::unique_ptr<SwsContext, void (*)(SwsContext *)> scalerOwner(nullptr, sws_freeContext);
    std::vector<OnScreen> shown;
    size_t next = 0;
    int64_t number = 0;
    FillRule rule;
    for (AVFrame *frame; (frame = input.NextFrame()) != nullptr; ++number) {
        ThrowIfInterrupted();
        for (; next < order.size() && index.entries[order[next]].firstFrame <= number; ++next) {
            const IndexEntry &e = index.entries[order[next]];
            OnScreen s{order[next], {}, {}};
            if (e.lastFrame < number || !ReadGraymap(GraymapPath(indexPath, order[next]), &s.graymap)) continue;
            const int x0 = std::max(0, e.x - kSurveyMargin), y0 = std::max(0, e.y - kSurveyMargin);
            const int x1 = std::min(w, e.x + s.graymap.width + kSurveyMargin), y1 = std::min(h, e.y + s.graymap.height + kSurveyMargin);
            if (x0 >= x1 || y0 >= y1) continue;
            s.span.Reset(x0, y0, x1 - x0, y1 - y0);
            shown.push_back(std::move(s));
        }
        if (shown.empty()) continue;
        scaler = sws_getCachedContext(scaler, w, h, (AVPixelFormat)frame->format, w, h, AV_PIX_FMT_GRAY8, SWS_POINT, nullptr, nullptr, nullptr);
        scalerOwner.release();
        scalerOwner.reset(scaler);
        if (!scaler) throw HostError(EXIT_FAILURE_RUN, "cannot read the luma of the film's pictures");
        uint8_t *out[4] = {plane.data(), nullptr, nullptr, nullptr};
        int lines[4] = {w, 0, 0, 0};
        sws_scale(scaler, frame->data, frame->linesize, 0, h, out, lines);
        for (auto it = shown.begin(); it != shown.end();) {
            it->span.Add(plane.data(), w);
            const IndexEntry &e = index.entries[it->entry];
            if (e.lastFrame > number) {
                ++it;
                continue;
            }
            widenings[it->entry] = WideningAroundGraymap(it->span, it->graymap.cells.data(), e.x, e.y, it->graymap.width,
                                                   it->graymap.height, rule);
            it = shown.erase(it);
        }
    }
    for (OnScreen &s : shown) {
        const IndexEntry &e = index.entries[s.entry];
        widenings[s.entry] = WideningAroundGraymap(s.span, s.graymap.cells.data(), e.x, e.y, s.graymap.width, s.graymap.height, rule);
    }
    return widenings;
}
