// The work on one frame (see frame_work.h).
#include "cli/pipeline/frame_work.h"

#include <utility>

void StampResult(FrameResult &result, const AVFrame *decoded, const FrameJob &job, const FrameContext &film) {
    result.frame->pts = decoded->best_effort_timestamp != AV_NOPTS_VALUE ? decoded->best_effort_timestamp
                                                                         : job.index * film.input->NominalFrameDuration();
}

FrameResult ProcessFrame(Worker &worker, FrameJob &job, const FrameContext &film) {
    FrameResult result;
    const AVFrame *decoded = job.frame.get();
    result.duration = FrameDuration(decoded);
    if (result.duration <= 0) result.duration = film.input->NominalFrameDuration();
    if (film.NeedsFilter(job.number)) {
        const RowBand band = film.BandFor(job.number);
        FilterInstance &instance = film.InstanceFor(worker, job.number);
        worker.converter->ToHost(decoded, instance, band);
        instance.Run((int32_t)job.number, film.usPerFrame);
        result.changed = worker.converter->FromHost(instance, decoded, result.frame, band);
        if (worker.boxes && result.changed > 0 && film.mode == MODE_FINAL) worker.boxes->Restore(decoded, result.frame);
    }
    if (result.changed <= 0 && job.packet) {
        result.frame.reset();
        result.packet = std::move(job.packet);
        return result;
    }
    if (!result.frame) result.frame = worker.converter->Unchanged(decoded);
    StampResult(result, decoded, job, film);
    return result;
}
