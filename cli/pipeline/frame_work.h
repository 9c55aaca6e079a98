// The work on one frame that every filter worker of the pipeline shares: a decoded frame in, the
// frame to encode (or its own input packet) out, through a filter instance and its colour
// converter. The spatial and the temporal fill both use it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "cli/av_util.h"
#include "cli/colour/colour.h"
#include "cli/pipeline/filter_reach.h"
#include "cli/pipeline/frame_ranges.h"
#include "cli/input/input.h"
#include "cli/plugin/plugin_host.h"
#include "cli/temporal_fill/box_restore.h"
#include "cli/detection/radius_plan.h"
#include "host/params.h"

struct FrameJob {
    bool context = false;  // given to a temporal worker only to look at, not to output
    int64_t index = 0;   // place in the output
    int64_t number = 0;  // the film's own frame number, which the filter and the index go by
    FramePtr frame;    // a reference of the decoded frame
    PacketPtr packet;  // the frame's input packet, when it may be passed on
};

struct FrameResult {
    FramePtr frame;    // what to encode, when `packet` is null
    PacketPtr packet;  // an unchanged frame's own input packet
    int64_t duration = 0;
    int64_t changed = -1;  // pixels changed; -1: not filtered
};

// Everything one filter worker owns.
struct Worker {
    std::unique_ptr<FilterInstance> instance;
    std::unique_ptr<ColourConverter> converter;
    std::map<Widening, std::unique_ptr<FilterInstance>> byWidening;  // --radius auto: an instance per widening
    std::unique_ptr<SpatialBoxes> boxes;  // --radius auto: translucent boxes un-blended; null: none
};

// What every frame needs to know of the film.
struct FrameContext {
    VideoInput *input;
    int32_t mode;
    std::vector<FrameRange> merged;  // frames with a subtitle
    int64_t usPerFrame;
    const FilterReach *reach;        // rows the filter reaches; null: every row
    int height;
    const RadiusPlan *radii;         // null: one instance, one widening

    FilterInstance &InstanceFor(Worker &worker, int64_t number) const {
        return radii ? *worker.byWidening.at(radii->At(number)) : *worker.instance;
    }

    // Only the mask mode draws on frames without a subtitle; every other mode passes them through,
    // so they need no conversion and no call of the filter.
    bool NeedsFilter(int64_t index) const {
        if (mode == MODE_MASK_ONLY) return true;
        return mode == MODE_FINAL && InMergedRanges(merged, index);
    }
    // The mask mode draws the whole frame; the final mode changes and reads only near the subtitle.
    RowBand BandFor(int64_t index) const {
        if (mode == MODE_FINAL && reach) return reach->BandFor(index);
        return RowBand{0, height};
    }
};

// Filters a frame with the worker's instance when the frame needs it; a frame the filter left as it
// was keeps its input packet when it has one.
FrameResult ProcessFrame(Worker &worker, FrameJob &job, const FrameContext &film);
// The frame to encode for `decoded`'s place in the output: `frame` (in the output's format) with
// the decoded frame's timestamp.
void StampResult(FrameResult &result, const AVFrame *decoded, const FrameJob &job, const FrameContext &film);
