// The temporal fill in the pipeline: a filter worker that takes the frames of a run, with a window
// of frames before and after it to look at, and gives every frame of the run its output.
//
// Frames without a subtitle pass as the spatial fill passes them. The frames of each stretch of
// subtitles (the merged ranges of the index) are cut into chunks of a fixed length counted from
// the stretch's first frame, whatever the run and the thread count, and each chunk is filled
// (temporal/chunk_fill.h) once the window after it has arrived. The holes come from the module
// itself, through a second instance in the mask mode: one call per subtitle. The spatial repaint,
// where no frame shows the background, is the worker's own instance's final output, made only for
// frames that need it. All of this is in the film's own samples (packed and semi-planar frames
// split into planes, see temporal_frames.h); only the finished frame is converted, when the
// output cannot hold the film's format.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "cli/pipeline/frame_work.h"
#include "cli/plugin/plugin_host.h"
#include "cli/temporal_fill/box_restore.h"
#include "cli/temporal_fill/temporal_frames.h"
#include "temporal/chunk_fill.h"

// What every temporal worker of a film shares, read only.
struct TemporalPlan {
    TemporalPlan(const std::vector<FrameRange> &ranges, int window, int width, int height);
    int window;                      // frames each way
    int chunkLength;                 // output frames per chunk
    std::vector<FrameRange> merged;  // stretches of frames with a subtitle
    EntryLookup entries;
    temporal::FillSettings fill;
};

class TemporalWorker {
public:
    // `output` is the pipeline worker whose converter makes frames for the encoder; `settings`
    // configure the extra instances (the mask, and the spatial repaint in the film's format).
    TemporalWorker(const FilterModuleHandle &module, const FilterSettings &settings, bool fromConfigLine,
                   const PictureColour &decoded, Worker &output, const TemporalPlan &plan, const FrameContext &film);
    ~TemporalWorker();

    // Called with each result in turn; false stops the worker (the pipeline is failing).
    using Emit = std::function<bool(int64_t index, FrameResult &&result)>;
    bool Feed(FrameJob &&job, const Emit &emit);
    // The run has no more frames: fills what waits, with the window it has.
    bool Finish(const Emit &emit);
    // While the next frame is not yet decoded: a step of the work that the chunk waiting for its
    // window will need (the flows of one pair of its frames held so far). False when there is
    // none, or no chunk waits.
    bool WorkAhead();

    const temporal::FillStats &stats() const { return stats_; }

private:
    struct Held;
    bool Drain(bool ending, const Emit &emit);
    bool FillChunk(size_t firstHeld, int64_t last, const Emit &emit);
    bool EmitUpTo(int64_t end, int64_t first, int64_t last, const Emit &emit);
    const std::vector<uint8_t> *MaskOf(int entry, int64_t frame);
    const temporal::PictureRef *Spatial(Held &h);
    temporal::PictureRef OutputOf(Held &h);
    FrameResult Finished(Held &h);
    void Trim();
    void RestoreBoxes(int64_t first, int64_t last);
    int64_t WindowStart(int64_t first, int64_t from) const;
    int64_t WindowEnd(int64_t last, int64_t to) const;
    int64_t LastOwn(int64_t first, int64_t last) const;
    temporal::Band ChunkBand(int64_t first, int64_t last, int64_t lo, int64_t hi);

    const TemporalPlan &plan_;
    const FrameContext &film_;
    Worker &output_;
    FilterInstance &InstanceAt(int64_t number, int32_t mode);

    FilterSettings settings_;
    Worker spatial_;  // its converter: the film's own format both ways
    // By widening (one, unless --radius auto gives subtitles widenings of their own): the final mode for
    // the spatial repaint, the mask mode for the holes.
    std::map<Widening, std::unique_ptr<FilterInstance>> spatials_, masks_;
    std::map<int, std::vector<uint8_t>> maskCache_;  // by entry: one byte per pixel, non-zero in the hole
    std::map<int, temporal::Band> bandCache_;        // by entry: the rows its hole needs for the motion
    // The chunk that waits for its window (frames first..last), and the holes that WorkAhead made
    // for it in `band`.
    struct Ahead {
        bool waiting = false;
        int64_t first = 0, last = 0;
        temporal::Band band;
        std::map<int, temporal::Hole> holes;
        std::vector<temporal::ChunkFrame> frames;
    };
    Ahead ahead_;
    std::deque<Held> held_;
    TemporalFrames frames_;
    temporal::ChunkFill fill_;
    temporal::FillStats stats_;
    BoxRestore boxes_;                // translucent boxes, un-blended (--radius auto only)
    std::vector<BoxFrame> boxFrames_;
    FillPicture previous_;       // the last output of a chunk, carried into the next one
    int64_t previousNumber_ = -1;
    int width_;
    int height_;
};
