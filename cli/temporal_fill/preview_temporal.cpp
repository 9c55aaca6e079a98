// The temporal panel of the preview (see preview_temporal.h).
#include "cli/temporal_fill/preview_temporal.h"

#include <algorithm>
#include <memory>

#include "cli/colour/colour.h"
#include "cli/errors.h"
#include "cli/plugin/filter_settings.h"
#include "cli/input/frame_seek.h"
#include "cli/plugin/index_summary.h"
#include "cli/input/input.h"
#include "cli/temporal_fill/temporal_frames.h"
#include "cli/temporal_fill/temporal_worker.h"

namespace {

// Frame `first` of the film, with `in` left to read on from it: by seeking where that is exact,
// else from the start by counting.
AVFrame *Reach(const Options &o, VideoInput &input, int64_t first, std::unique_ptr<VideoInput> &fresh, VideoInput *&in) {
    in = &input;
    if (AVFrame *frame = SeekFrame(input, first)) return frame;
    fresh = std::make_unique<VideoInput>(o.input, input.decoder()->thread_count);
    in = fresh.get();
    AVFrame *frame = in->NextFrame();
    for (int64_t n = 0; frame && n < first; ++n) frame = in->NextFrame();
    return frame;
}

}  // namespace

FramePtr TemporalPreviewFrame(const Options &o, const FilterModuleHandle &module, VideoInput &input, int64_t number,
                              const RadiusPlan *radii) {
    const std::vector<FrameRange> ranges = ReadIndexSummary(o.index).ranges;
    const int w = input.width(), h = input.height();
    const TemporalPlan plan(ranges, o.temporalWindow, w, h);
    auto after = std::upper_bound(plan.merged.begin(), plan.merged.end(), number,
                                  [](int64_t f, const FrameRange &r) { return f < r.first; });
    if (after == plan.merged.begin() || number > std::prev(after)->second) return nullptr;
    const FrameRange stretch = *std::prev(after);
    const AVCodecContext *dec = input.decoder();
    std::string why;
    if (!TemporalFormatSupported(dec->pix_fmt, &why)) throw HostError(EXIT_FAILURE_RUN, "--fill temporal: " + why);
    const int64_t L = plan.chunkLength;
    const int64_t chunkEnd = std::min(stretch.first + ((number - stretch.first) / L + 1) * L - 1, stretch.second);
    const int64_t first = std::max<int64_t>(0, stretch.first - plan.window), last = chunkEnd + plan.window;

    std::unique_ptr<VideoInput> fresh;
    VideoInput *in = nullptr;
    AVFrame *frame = Reach(o, input, first, fresh, in);
    const PictureColour colour = ResolveColour(dec->pix_fmt, dec->colorspace, dec->color_range, w, h);
    FilterSettings settings = o.settings;
    settings.mode = MODE_FINAL;
    Worker out;
    out.instance = std::make_unique<FilterInstance>(module, w, h);
    ConfigureWidened(*out.instance, settings, o.configGiven, radii, WideningAt(radii, number, settings.radius));
    out.instance->Start((int32_t)first);
    out.converter = std::make_unique<ColourConverter>(w, h, colour, colour);
    const FrameContext film{in, MODE_FINAL, plan.merged, in->MicrosecondsPerFrame(), nullptr, h, radii};
    TemporalWorker worker(module, settings, o.configGiven, colour, out, plan, film);
    FramePtr result;
    const TemporalWorker::Emit keep = [&](int64_t index, FrameResult &&r) {
        if (index == number && r.frame) result = std::move(r.frame);
        return true;
    };
    for (int64_t n = first; frame && n <= last && !result; ++n, frame = in->NextFrame()) {
        FrameJob job;
        job.index = job.number = n;
        job.context = n < stretch.first || n > chunkEnd;
        job.frame = CloneFrame(frame);
        worker.Feed(std::move(job), keep);
    }
    if (!result) worker.Finish(keep);
    out.instance->End();
    return result;
}
