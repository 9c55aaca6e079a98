// The frame pipeline of subremove (see pipeline.h): decode -> filter stage -> encoder stage ->
// writer, or all of it on one thread.
//
// Memory: decoded frames wait in a run's queue and filtered ones in an ordered
// buffer whose window is a group and a run long; the reader blocks when either is full. The window
// must be at least one group past the lowest frame not yet encoded, or the reader could wait for
// an encoder that waits for a frame not yet read.
#include "cli/pipeline/pipeline.h"

#include <deque>
#include <memory>
#include <string>

#include "cli/colour/colour.h"
#include "cli/errors.h"
#include "cli/plugin/filter_settings.h"
#include "cli/pipeline/frame_work.h"
#include "cli/input/input.h"
#include "cli/front/interrupt.h"
#include "cli/output/output.h"
#include "cli/pipeline/stage.h"
#include "cli/temporal_fill/temporal_frames.h"
#include "cli/temporal_fill/temporal_worker.h"
#include "host/params.h"

namespace {

// Long enough that a run's frames keep one instance busy while the others start; short enough
// that several runs are in flight on a short clip.
constexpr int64_t kRunLength = 16;
// Pixels of the decoded frames that may wait in one run's queue, and of the filtered frames that
// may wait for the encoder. The reader must be able to read well into a run while its worker is
// busy, or it cannot start the next run for a worker that is free: 20 and 80 frames at 720x576,
// the minimum of 2 and a run's length at 1080p, where memory is dearer.
constexpr int64_t kRunQueuePixels = int64_t(1) << 23;
constexpr int64_t kWindowPixels = int64_t(1) << 25;
// With the temporal fill a run's queue also takes the window after the run before it, read while
// the worker that will take the run is still busy: a short queue stalls the reader, and with it
// every other worker waiting for the window after its own run. A run and both windows fit up to
// this many pixels: 144 frames at 720x576 (the benchmark's 720x576 pan took 3.4 s with two
// threads against 3.8 to 4.7 s with the usual queue, for 30 to 45 MB more), 32 at 1080p (no
// faster there: the fill itself is the bottleneck).
constexpr int64_t kTemporalQueuePixels = int64_t(1) << 26;

struct Encoded {
    PacketList packets;
    PacketPtr inputPacket;
    int64_t changed = -1;
};

using RunQueue = BoundedQueue<FrameJob>;
// The temporal workers, one beside each filter worker; empty for the spatial fill.
using TemporalWorkers = std::vector<std::unique_ptr<TemporalWorker>>;

std::unique_ptr<Encoded> Encode(VideoOutput &output, int slot, FrameResult &r) {
    auto encoded = std::make_unique<Encoded>();
    encoded->changed = r.changed;
    encoded->inputPacket = std::move(r.packet);
    if (!encoded->inputPacket) output.EncodeFrame(slot, r.frame.get(), r.duration, encoded->packets);
    return encoded;
}

// Writes encoded frames in frame order, on whichever thread completes the next one.
class InOrderWriter {
public:
    InOrderWriter(RunControl &control, VideoOutput &output, std::function<void(const Encoded &)> tally)
        : control_(control), output_(output), tally_(std::move(tally)) {}

    void Put(int64_t index, std::unique_ptr<Encoded> encoded) {
        auto lock = control_.Lock();
        ready_[index] = std::move(encoded);
        if (writing_) return;  // the writing thread finds it when it looks again
        writing_ = true;
        struct Release {
            bool &flag;
            ~Release() { flag = false; }
        } release{writing_};
        for (auto it = ready_.find(next_); it != ready_.end(); it = ready_.find(next_)) {
            std::unique_ptr<Encoded> e = std::move(it->second);
            ready_.erase(it);
            lock.unlock();
            Write(*e);
            lock.lock();
            ++next_;
        }
    }
    int64_t Written() {
        auto lock = control_.Lock();
        return next_;
    }

private:
    void Write(Encoded &e) {
        if (e.inputPacket) output_.WriteInputPacket(e.inputPacket.get());
        else output_.WritePackets(e.packets);
        tally_(e);
    }

    RunControl &control_;
    VideoOutput &output_;
    std::function<void(const Encoded &)> tally_;
    std::map<int64_t, std::unique_ptr<Encoded>> ready_;
    int64_t next_ = 0;
    bool writing_ = false;
};

// The reader's side: decodes the next frame of the part into a job of its own; false at the end
// of the part. Frames before the part are decoded, counted and dropped: that is what keeps the
// film's own numbers exact whatever the part.
class FrameReader {
public:
    // The size and format the film opened with; the decoder's own may follow each frame.
    FrameReader(VideoInput &input, bool passPackets, const FilmPart &part,
                std::function<void(int64_t, const AVFrame *, int64_t, int64_t)> frameRead = nullptr)
        : input_(input), passPackets_(passPackets), part_(part), width_(input.width()), height_(input.height()),
          format_(SampleTwin(input.decoder()->pix_fmt)), shift_(PartShift(input, part)), frameRead_(std::move(frameRead)) {}
    bool Next(FrameJob &job) {
        for (;;) {
            ThrowIfInterrupted();
            if (PlaceInPart(part_, 0, written_) == PartPlace::kAfter) return false;
            AVFrame *frame = input_.NextFrame();
            if (!frame) return false;
            if (decoded_ > INT32_MAX) throw HostError(EXIT_FAILURE_RUN, "the film has more frames than the filter can number");
            // Checked here, not at the filter: frames that skip the filter must fit the encoder too.
            if (frame->width != width_ || frame->height != height_ || SampleTwin((AVPixelFormat)frame->format) != format_) {
                throw HostError(EXIT_FAILURE_RUN, "the picture size or pixel format changes within the film; subremove needs one size");
            }
            const int64_t number = decoded_++;
            const AVStream *stream = input_.stream();
            const int64_t time = FrameTimeUs(frame->best_effort_timestamp, stream->start_time, stream->time_base, number,
                                             input_.frameRate());
            const PartPlace place = PlaceInPart(part_, time, written_);
            if (place == PartPlace::kAfter) return false;
            if (place == PartPlace::kBefore) continue;
            Take(frame, number, job);
            return true;
        }
    }
    int64_t decoded() const { return decoded_; }
    int64_t written() const { return written_; }

private:
    // The part's timestamps start where the part starts, as FFmpeg's -ss gives them.
    static int64_t PartShift(const VideoInput &input, const FilmPart &part) {
        return av_rescale_q(part.startUs, AVRational{1, 1000000}, input.stream()->time_base);
    }
    void Take(AVFrame *frame, int64_t number, FrameJob &job) {
        job.index = written_++;
        job.number = number;
        job.frame = CloneFrame(frame);
        if (shift_ != 0 && job.frame->best_effort_timestamp != AV_NOPTS_VALUE) job.frame->best_effort_timestamp -= shift_;
        job.packet.reset();
        if (frameRead_) {
            // As the frame will be stamped (frame_work.cpp) and its duration counted.
            const int64_t ts = job.frame->best_effort_timestamp;
            const int64_t duration = FrameDuration(job.frame.get());
            frameRead_(number, job.frame.get(), ts != AV_NOPTS_VALUE ? ts : job.index * input_.NominalFrameDuration(),
                       duration > 0 ? duration : input_.NominalFrameDuration());
        }
        if (passPackets_ && input_.FramePacket()) {
            job.packet.reset(av_packet_clone(input_.FramePacket()));
            if (!job.packet) throw HostError(EXIT_FAILURE_RUN, "out of memory");
            if (job.packet->pts != AV_NOPTS_VALUE) job.packet->pts -= shift_;
            if (job.packet->dts != AV_NOPTS_VALUE) job.packet->dts -= shift_;
        }
    }

    VideoInput &input_;
    bool passPackets_;
    FilmPart part_;
    int width_;
    int height_;
    AVPixelFormat format_;
    int64_t shift_;
    std::function<void(int64_t, const AVFrame *, int64_t, int64_t)> frameRead_;
    int64_t decoded_ = 0;
    int64_t written_ = 0;
};

std::vector<Worker> MakeWorkers(const FilterModuleHandle &module, const FilmSettings &settings, VideoInput &input,
                                const VideoOutput &output, int count) {
    const int w = input.width(), h = input.height();
    const AVCodecContext *dec = input.decoder();
    const PictureColour decoded = ResolveColour(dec->pix_fmt, dec->colorspace, dec->color_range, w, h);
    PictureColour out = decoded;
    out.format = output.plan().pixelFormat;
    out.fullRange = IsRgbFormat(out.format) || output.plan().range == AVCOL_RANGE_JPEG;
    if (IsRgbFormat(dec->pix_fmt)) out.matrix = GuessMatrix(w, h);
    // Instances are made and configured here, one after another: the module's open-file box is
    // answered on this thread only.
    std::vector<Worker> workers((size_t)count);
    for (Worker &worker : workers) {
        worker.instance = std::make_unique<FilterInstance>(module, w, h);
        ConfigureInstance(*worker.instance, settings.filter, settings.fromConfigLine);
        worker.instance->Start(0);
        worker.converter = std::make_unique<ColourConverter>(w, h, decoded, out);
        if (settings.radii) worker.boxes = SpatialBoxes::For(dec->pix_fmt, out.format, w, h);
        for (const Widening &widening : settings.radii ? settings.radii->InUse() : std::vector<Widening>()) {
            auto &instance = worker.byWidening[widening] = std::make_unique<FilterInstance>(module, w, h);
            ConfigureWidened(*instance, settings.filter, settings.fromConfigLine, settings.radii, widening);
            instance->Start(0);
        }
    }
    return workers;
}

// A temporal worker beside each filter worker. The film's pixel format must be one the temporal
// fill takes (temporal_frames.h: any but paletted, bit-packed, Bayer and floating-point ones).
TemporalWorkers MakeTemporalWorkers(const FilterModuleHandle &module, const FilmSettings &settings, VideoInput &input,
                                    const TemporalPlan &plan, const FrameContext &film, std::vector<Worker> &workers) {
    const AVCodecContext *dec = input.decoder();
    std::string why;
    if (!TemporalFormatSupported(dec->pix_fmt, &why)) throw HostError(EXIT_FAILURE_RUN, "--fill temporal: " + why);
    const PictureColour decoded = ResolveColour(dec->pix_fmt, dec->colorspace, dec->color_range, input.width(), input.height());
    TemporalWorkers temporal;
    for (Worker &worker : workers) {
        temporal.push_back(std::make_unique<TemporalWorker>(module, settings.filter, settings.fromConfigLine, decoded, worker,
                                                            plan, film));
    }
    return temporal;
}

// One thread: the filter runs between decoding and encoding.
void RunInline(Worker &worker, TemporalWorker *temporal, FrameReader &reader, const FrameContext &film, VideoOutput &output,
               InOrderWriter &writer) {
    FrameJob job;
    if (temporal) {
        const TemporalWorker::Emit emit = [&](int64_t index, FrameResult &&r) {
            writer.Put(index, Encode(output, 0, r));
            return true;
        };
        while (reader.Next(job)) temporal->Feed(std::move(job), emit);
        temporal->Finish(emit);
        return;
    }
    while (reader.Next(job)) {
        FrameResult r = ProcessFrame(worker, job, film);
        writer.Put(job.index, Encode(output, 0, r));
    }
}

// A job of the window around a temporal run: the frame to look at, without its packet.
FrameJob ContextJob(const FrameJob &job) {
    FrameJob c;
    c.context = true;
    c.index = job.index;
    c.number = job.number;
    c.frame = CloneFrame(job.frame.get());
    return c;
}

// The temporal fill needs each run's window on both sides: the reader gives a new run the frames
// just before it, and the run before it the frames just after it, as jobs to look at only.
class RunWindows {
public:
    explicit RunWindows(int window) : window_(window) {}
    bool Open(RunQueue &run) {
        for (const FrameJob &j : recent_)
            if (!run.Push(ContextJob(j))) return false;
        return true;
    }
    void Closing(std::shared_ptr<RunQueue> run) {
        if (previous_) previous_->Close();
        previous_ = std::move(run);
        left_ = window_;
    }
    // Before `job` goes to its own run.
    bool Seen(const FrameJob &job) {
        if (previous_) {
            if (!previous_->Push(ContextJob(job))) return false;
            if (--left_ == 0) {
                previous_->Close();
                previous_.reset();
            }
        }
        recent_.push_back(ContextJob(job));
        if ((int)recent_.size() > window_) recent_.pop_front();
        return true;
    }
    void End() {
        if (previous_) previous_->Close();
        previous_.reset();
    }

private:
    int window_;
    std::deque<FrameJob> recent_;
    std::shared_ptr<RunQueue> previous_;
    int left_ = 0;
};

// Where the reader cuts runs and how it hands frames on.
struct RunRules {
    const CutRule &cuts;
    int64_t minLength;  // frames of a run before it may be cut
    size_t queue;       // frames a run's queue holds
    int64_t group;      // frames the encoder stage takes at a time
};

// The reader's loop: decodes, cuts runs, gives each frame to its run (and to the temporal
// windows, when there are any) and each finished group to the encoders, until the film ends or
// the pipeline fails.
void ReadRuns(FrameReader &reader, const RunRules &rules, RunWindows *windows, Stage<std::shared_ptr<RunQueue>> &filter,
              Stage<int64_t> &encode, RunControl &control) {
    std::shared_ptr<RunQueue> run;
    int64_t length = 0;
    FrameJob job;
    try {
        while (reader.Next(job)) {
            const int64_t index = job.index;
            if (!run || (length >= rules.minLength && rules.cuts.Allowed(job.number))) {
                if (run && windows) windows->Closing(run);
                else if (run) run->Close();
                run = std::make_shared<RunQueue>(control, rules.queue);
                length = 0;
                if (!filter.Push(run) || (windows && !windows->Open(*run))) break;
            }
            ++length;
            if (windows && !windows->Seen(job)) break;
            if (!run->Push(std::move(job))) break;
            if ((index + 1) % rules.group == 0 && !encode.Push(index / rules.group)) break;
        }
    } catch (...) {
        control.Fail(std::current_exception());
    }
    if (windows) windows->End();
    if (run) run->Close();
}

// Several: this thread decodes and cuts runs; the filter stage filters whole runs, the encoder
// stage codes whole groups, each worker with an instance or context of its own.
// The filter stage's work on one run: each frame through the worker's instance, or the whole run
// through its temporal worker.
void FilterRun(RunQueue &run, Worker &worker, TemporalWorker *temporal, const FrameContext &film,
               OrderedBuffer<FrameResult> &filtered) {
    FrameJob job;
    if (temporal) {
        const TemporalWorker::Emit emit = [&](int64_t index, FrameResult &&r) { return filtered.Put(index, std::move(r)); };
        while (run.Pop(job)) {
            if (!temporal->Feed(std::move(job), emit)) return;
            // Until the reader has the next frame, the worker measures what its chunk will need.
            while (!run.Ready() && temporal->WorkAhead()) {
            }
        }
        temporal->Finish(emit);
        return;
    }
    while (run.Pop(job))
        if (!filtered.Put(job.index, ProcessFrame(worker, job, film))) return;
}

// Several: this thread decodes and cuts runs; the filter stage filters whole runs, the encoder
// stage codes whole groups, each worker with an instance or context of its own.
void RunStaged(std::vector<Worker> &workers, TemporalWorkers &temporal, FrameReader &reader, const FrameContext &film,
               const FilmSettings &settings, VideoOutput &output, InOrderWriter &writer, RunControl &control) {
    // Several contexts code whole groups; a single context sees every frame in order anyway, so it
    // takes them one at a time, as soon as each is filtered.
    const int64_t group = output.EncoderCount() > 1 ? output.GroupLength() : 1;
    const int threads = (int)workers.size();
    const int64_t pixels = std::max<int64_t>(1, (int64_t)film.input->width() * film.height);
    size_t runQueue = (size_t)std::max<int64_t>(2, kRunQueuePixels / pixels);
    if (!temporal.empty())
        runQueue = std::max(runQueue, (size_t)std::min<int64_t>(settings.temporalWindow * 3, kTemporalQueuePixels / pixels));
    // At least a group past the lowest frame not yet encoded (see the top), and a run's length more,
    // so that a worker can finish most of a run while the run before it is being encoded; small
    // pictures get more room, which evens out encoders that take frames in bursts. A temporal
    // worker holds a chunk and its window after it before it outputs any of them.
    const int64_t held = temporal.empty() ? 0 : TemporalPlan({}, settings.temporalWindow, film.input->width(), film.height).chunkLength +
                                                   2 * settings.temporalWindow + (int64_t)runQueue;
    const int64_t window = std::max<int64_t>(group + threads + kRunLength, kWindowPixels / pixels) + held;
    // Temporal runs are no shorter than the window, so only the run just before is still open.
    const int64_t runLength = std::max<int64_t>(kRunLength, temporal.empty() ? 0 : settings.temporalWindow);
    OrderedBuffer<FrameResult> filtered(control, window);
    Stage<std::shared_ptr<RunQueue>> filter(control, threads, 1, [&](std::shared_ptr<RunQueue> &run, int w) {
        FilterRun(*run, workers[(size_t)w], temporal.empty() ? nullptr : temporal[(size_t)w].get(), film, filtered);
    });
    // The encoders take groups in order and wait for each frame of a group. A temporal worker
    // holds its frames until the reader has given it the window after them, so the reader must
    // never wait for an encoder: with the temporal fill the queue of group numbers is unbounded
    // (the frames themselves are bounded by the window and the run queues).
    const size_t groups = temporal.empty() ? (size_t)output.EncoderCount() : SIZE_MAX;
    Stage<int64_t> encode(control, output.EncoderCount(), groups, [&](int64_t &g, int slot) {
        for (int64_t i = g * group; i < (g + 1) * group; ++i) {
            FrameResult r;
            if (!filtered.Take(i, r)) return;
            writer.Put(i, Encode(output, slot, r));
        }
    });
    // A signal fails the run at once, waking the reader and every worker that waits; each busy one
    // stops after its frame.
    InterruptWatch watch([&control] {
        try {
            ThrowIfInterrupted();
        } catch (...) {
            control.Fail(std::current_exception());
        }
    });
    // The temporal fill never cuts a stretch of subtitles: its chunks are counted from its start.
    const CutRule cuts(temporal.empty() ? settings.ranges : film.merged);
    RunWindows windows(temporal.empty() ? 0 : settings.temporalWindow);
    ReadRuns(reader, RunRules{cuts, runLength, runQueue, group}, temporal.empty() ? nullptr : &windows, filter, encode, control);
    filtered.SetEnd(reader.written());
    if (reader.written() % group != 0) encode.Push(reader.written() / group);
    filter.Finish();
    encode.Finish();
}

}  // namespace

FilmTotals ProcessFilm(const FilterModuleHandle &module, const FilmSettings &settings, VideoInput &input,
                       VideoOutput &output, const std::function<void(int64_t)> &progress) {
    std::vector<Worker> workers = MakeWorkers(module, settings, input, output, std::max(1, settings.instances));
    FrameContext film{&input, settings.filter.mode, MergeFrameRanges(settings.ranges),
                      input.MicrosecondsPerFrame(), settings.reach, input.height(), settings.radii};
    FilmTotals totals;
    RunControl control;
    // Counts a frame once it is written (on one thread at a time).
    InOrderWriter writer(control, output, [&](const Encoded &e) {
        if (e.changed >= 0) ++totals.filtered;
        if (e.changed > 0) ++totals.repainted;
        ++totals.frames;
        progress(totals.frames);
    });
    FrameReader reader(input, output.CanPassPackets(), settings.part, settings.frameRead);
    std::unique_ptr<TemporalPlan> plan;
    TemporalWorkers temporal;
    if (settings.temporal && settings.filter.mode == MODE_FINAL) {
        plan = std::make_unique<TemporalPlan>(settings.ranges, settings.temporalWindow, input.width(), input.height());
        // A film has few subtitle stretches at a time for the workers to share; a second thread
        // inside each keeps the cores busy when one worker has no stretch left.
        plan->fill.parallel = workers.size() > 1;
        temporal = MakeTemporalWorkers(module, settings, input, *plan, film, workers);
    }
    if (settings.threads <= 1) {
        RunInline(workers.front(), temporal.empty() ? nullptr : temporal.front().get(), reader, film, output, writer);
    } else {
        RunStaged(workers, temporal, reader, film, settings, output, writer, control);
        control.RethrowIfFailed();
        if (writer.Written() != reader.written()) throw HostError(EXIT_FAILURE_RUN, "stopped before the end of the film");
    }
    for (Worker &worker : workers) {
        worker.instance->End();
        for (auto &instance : worker.byWidening) instance.second->End();
    }
    totals.decoded = reader.decoded();
    return totals;
}
