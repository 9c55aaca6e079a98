// The frame pipeline of subremove: decode -> filter instances on worker threads -> encode.
//
// Frames are cut into runs of at least kRunLength frames; a run ends only between two frames
// that no single subtitle range covers both of. A free worker takes the next run and keeps it to
// the end, so every subtitle is built once per film by one instance. The reader may run ahead of
// the writer by a bounded number of frames, which bounds memory to a few runs per thread.
#include "cli/pipeline.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "cli/errors.h"
#include "cli/filter_settings.h"
#include "cli/frame_ranges.h"

namespace {

// Long enough that a run's frames keep one instance busy while the others start; short enough
// that several runs are in flight on a short clip.
constexpr int64_t kRunLength = 16;

int64_t MicrosecondsPerFrame(AVRational rate) {
    return rate.num > 0 ? (int64_t)1000000 * rate.den / rate.num : 40000;
}

struct FrameJob {
    int64_t index = 0;
    AVFrame *frame = nullptr;    // a reference of the decoded frame
    AVPacket *packet = nullptr;  // the frame's input packet, when it may be passed on
};

struct FrameResult {
    AVFrame *frame = nullptr;    // what to encode, when `packet` is null
    AVPacket *packet = nullptr;  // an unchanged frame's own input packet
    int64_t duration = 0;
    int64_t changed = 0;
};

struct Run {
    std::deque<FrameJob> frames;
    bool closed = false;
};

// Everything one worker owns: its instance and its colour converter.
struct Worker {
    std::unique_ptr<FilterInstance> instance;
    std::unique_ptr<ColourConverter> converter;
    std::thread thread;
};

// Filters one decoded frame with the worker's instance and makes what is to be written: the
// frame's own input packet when nothing changed and packets may pass, else a converted frame.
FrameResult ProcessFrame(Worker &worker, FrameJob &job, VideoInput &input_, VideoOutput &output_,
                     int64_t microsecondsPerFrame) {
    FrameResult result;
    // Owned here from now on, whatever happens.
    std::unique_ptr<AVFrame, AVFrameDeleter> frame(job.frame);
    std::unique_ptr<AVPacket, AVPacketDeleter> packet(job.packet);
    job.frame = nullptr;
    job.packet = nullptr;
    worker.converter->ToHost(frame.get(), *worker.instance);
    worker.instance->Run((int32_t)job.index, microsecondsPerFrame);
    std::unique_ptr<AVFrame, AVFrameDeleter> out(av_frame_alloc());
    if (!out) throw HostError(EXIT_FAILURE_RUN, "out of memory");
    result.changed = worker.converter->FromHost(*worker.instance, frame.get(), output_.pixelFormat(), output_.colorRange(), out.get());
    result.duration = FrameDuration(frame.get());
    if (result.duration <= 0) result.duration = input_.NominalFrameDuration();
    if (result.changed == 0 && packet) {
        result.packet = packet.release();
    } else {
        out->pts = frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp
                                                                  : job.index * input_.NominalFrameDuration();
        result.frame = out.release();
    }
    return result;
}

class Pipeline {
public:
    Pipeline(VideoInput &input, VideoOutput &output) : input_(input), output_(output) {}
    ~Pipeline() {
        Stop();
        for (auto &run : runs_) Free(*run);
        for (auto &current : taken_) Free(*current);
        for (auto &r : results_) Free(r.second);
    }

    void Start(std::vector<Worker> &workers) {
        for (Worker &w : workers) w.thread = std::thread([this, &w] { Work(w); });
        workers_ = &workers;
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (workers_) {
            for (Worker &w : *workers_) {
                if (w.thread.joinable()) w.thread.join();
            }
        }
        workers_ = nullptr;
    }

    // Appends a decoded frame to the current run, starting a new run when `cut` allows it.
    void Add(FrameJob job, bool newRun) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (newRun || !current_) {
            if (current_) current_->closed = true;
            current_ = std::make_shared<Run>();
            runs_.push_back(current_);
        }
        current_->frames.push_back(job);
        changed_.notify_all();
    }

    void CloseRuns() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_) current_->closed = true;
        changed_.notify_all();
    }

    // Waits for the result of frame `index`, then takes it.
    FrameResult Take(int64_t index) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return error_ || stop_ || results_.count(index) != 0; });
        if (error_) std::rethrow_exception(error_);
        if (results_.count(index) == 0) throw HostError(EXIT_FAILURE_RUN, "stopped");
        FrameResult r = results_[index];
        results_.erase(index);
        return r;
    }

    bool Ready(int64_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (error_) std::rethrow_exception(error_);
        return results_.count(index) != 0;
    }

    int64_t microsecondsPerFrame = 40000;

private:
    static void Free(Run &run) {
        for (FrameJob &j : run.frames) {
            av_frame_free(&j.frame);
            av_packet_free(&j.packet);
        }
        run.frames.clear();
    }
    static void Free(FrameResult &r) {
        av_frame_free(&r.frame);
        av_packet_free(&r.packet);
    }

    void Work(Worker &worker) {
        try {
            for (;;) {
                std::shared_ptr<Run> run;
                {
                    std::unique_lock<std::mutex> lock(mutex_);
                    changed_.wait(lock, [&] { return stop_ || !runs_.empty(); });
                    if (stop_) return;
                    run = runs_.front();
                    runs_.pop_front();
                    taken_.push_back(run);
                }
                for (;;) {
                    FrameJob job;
                    {
                        std::unique_lock<std::mutex> lock(mutex_);
                        changed_.wait(lock, [&] { return stop_ || !run->frames.empty() || run->closed; });
                        if (stop_) return;
                        if (run->frames.empty()) break;  // closed and done
                        job = run->frames.front();
                        run->frames.pop_front();
                    }
                    FrameResult result = Process(worker, job);
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        results_[job.index] = result;
                    }
                    changed_.notify_all();
                }
                std::lock_guard<std::mutex> lock(mutex_);
                for (auto it = taken_.begin(); it != taken_.end(); ++it) {
                    if (*it == run) {
                        taken_.erase(it);
                        break;
                    }
                }
            }
        } catch (...) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!error_) error_ = std::current_exception();
            }
            changed_.notify_all();
        }
    }

    FrameResult Process(Worker &worker, FrameJob &job) {
        return ProcessFrame(worker, job, input_, output_, microsecondsPerFrame);
    }

    VideoInput &input_;
    VideoOutput &output_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Run>> runs_;   // runs no worker has taken yet
    std::vector<std::shared_ptr<Run>> taken_; // runs being worked on
    std::shared_ptr<Run> current_;            // the run the reader appends to
    std::map<int64_t, FrameResult> results_;
    std::exception_ptr error_;
    bool stop_ = false;
    std::vector<Worker> *workers_ = nullptr;
};

}  // namespace

FilmTotals ProcessFilm(const FilterModuleHandle &module, const FilterSettings &settings, bool settingsFromConfigLine,
                       VideoInput &input, VideoOutput &output, int threads,
                       const std::vector<std::pair<int64_t, int64_t>> &ranges,
                       const std::function<void(int64_t)> &progress) {
    const int w = input.width(), h = input.height();
    AVCodecContext *dec = input.decoder();
    // Instances are made and configured here, one after another: the module's open-file box is
    // answered on this thread only.
    std::vector<Worker> workers((size_t)threads);
    for (Worker &worker : workers) {
        worker.instance = std::make_unique<FilterInstance>(module, w, h);
        ConfigureInstance(*worker.instance, settings, settingsFromConfigLine);
        worker.instance->Start(0);
        worker.converter = std::make_unique<ColourConverter>(w, h, dec->pix_fmt, dec->colorspace, dec->color_range);
    }

    FilmTotals totals;
    // Counts a frame once it is written (on one thread at a time).
    auto tally = [&](int64_t changed) {
        if (changed > 0) ++totals.repainted;
        ++totals.frames;
        progress(totals.frames);
    };
    auto write = [&](FrameResult r) {
        std::unique_ptr<AVFrame, AVFrameDeleter> frame(r.frame);
        std::unique_ptr<AVPacket, AVPacketDeleter> packet(r.packet);
        if (packet) output.WriteInputPacket(packet.get());
        else output.WriteFrame(frame.get(), r.duration);
        tally(r.changed);
    };
    // Decodes the next frame into a job of its own; false at the end of the film.
    int64_t decoded = 0;
    auto nextJob = [&](FrameJob &job) {
        AVFrame *frame = input.NextFrame();
        if (!frame) return false;
        if (decoded > INT32_MAX) throw HostError(EXIT_FAILURE_RUN, "the film has more frames than the filter can number");
        job.index = decoded;
        job.frame = av_frame_clone(frame);
        if (!job.frame) throw HostError(EXIT_FAILURE_RUN, "out of memory");
        if (output.CanPassPackets() && input.FramePacket()) job.packet = av_packet_clone(input.FramePacket());
        ++decoded;
        return true;
    };
    const int64_t usPerFrame = MicrosecondsPerFrame(input.frameRate());

    if (threads == 1) {
        // One thread: the filter runs on this thread between decoding and encoding.
        FrameJob job;
        while (nextJob(job)) write(ProcessFrame(workers.front(), job, input, output, usPerFrame));
    } else {
        // Several: this thread decodes, worker threads filter whole runs, and encoder threads code
        // whole groups of frames each with a context of its own; every frame is written in order
        // by the encoder thread that completes the run of frames ready to be written.
        Pipeline pipeline(input, output);
        pipeline.microsecondsPerFrame = usPerFrame;
        pipeline.Start(workers);
        const int encoders = output.EncoderCount();
        const int64_t group = output.GroupLength();
        // Room for a few runs per filter thread and a group per encoder thread; this bounds the
        // decoded frames held in memory.
        const int64_t aheadLimit = (int64_t)threads * (kRunLength + 8) + encoders * group;
        std::mutex mutex;  // guards the counters below, which the reader waits on
        std::condition_variable changed;
        int64_t queued = 0, written = 0, nextGroup = 0;
        bool allQueued = false;
        std::exception_ptr writeError;
        std::mutex writeMutex;  // guards `ready` and the writing; taken before `mutex`, never after
        struct Encoded {
            PacketList packets;
            std::unique_ptr<AVPacket, AVPacketDeleter> inputPacket;  // an unchanged frame's own packet
            int64_t changed = 0;
        };
        std::map<int64_t, std::unique_ptr<Encoded>> ready;  // frames coded before the ones ahead of them
        auto writeReady = [&] {
            std::lock_guard<std::mutex> writing(writeMutex);
            int64_t next = written;
            for (auto it = ready.begin(); it != ready.end() && it->first == next; it = ready.erase(it), ++next) {
                Encoded &e = *it->second;
                if (e.inputPacket) output.WriteInputPacket(e.inputPacket.get());
                else output.WritePackets(e.packets);
                tally(e.changed);
            }
            std::lock_guard<std::mutex> lock(mutex);
            written = next;
        };
        auto encode = [&](int slot) {
            try {
                for (;;) {
                    int64_t first;
                    {
                        std::lock_guard<std::mutex> lock(mutex);
                        if (writeError) return;
                        first = nextGroup++ * group;
                    }
                    for (int64_t i = first; i < first + group; ++i) {
                        {
                            std::unique_lock<std::mutex> lock(mutex);
                            changed.wait(lock, [&] { return writeError || i < queued || allQueued; });
                            if (writeError || i >= queued) return;
                        }
                        FrameResult r = pipeline.Take(i);
                        std::unique_ptr<AVFrame, AVFrameDeleter> frame(r.frame);
                        auto encoded = std::make_unique<Encoded>();
                        encoded->inputPacket.reset(r.packet);
                        encoded->changed = r.changed;
                        if (!encoded->inputPacket) output.EncodeFrame(slot, frame.get(), r.duration, encoded->packets);
                        {
                            std::lock_guard<std::mutex> writing(writeMutex);
                            ready[i] = std::move(encoded);
                        }
                        writeReady();
                        changed.notify_all();
                    }
                }
            } catch (...) {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (!writeError) writeError = std::current_exception();
                }
                changed.notify_all();
            }
        };
        std::vector<std::thread> encoderThreads;
        // Ends the encoder threads on every path: after the last frame, or, on a failure, by
        // stopping the pipeline they may be waiting on.
        auto finishEncoders = [&](bool failed) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                allQueued = true;
            }
            changed.notify_all();
            if (failed) pipeline.Stop();
            for (std::thread &t : encoderThreads) t.join();
        };
        try {
            for (int slot = 0; slot < encoders; ++slot) encoderThreads.emplace_back(encode, slot);
            const CutRule cuts(ranges);
            int64_t runLength = 0;
            FrameJob job;
            while (nextJob(job)) {
                const bool newRun = runLength >= kRunLength && cuts.Allowed(job.index);
                if (newRun) runLength = 0;
                pipeline.Add(job, newRun);
                job = FrameJob();
                ++runLength;
                std::unique_lock<std::mutex> lock(mutex);
                queued = decoded;
                changed.notify_all();
                changed.wait(lock, [&] { return writeError || queued - written < aheadLimit; });
                if (writeError) break;
            }
            pipeline.CloseRuns();
        } catch (...) {
            finishEncoders(true);
            throw;
        }
        bool failed;
        {
            std::lock_guard<std::mutex> lock(mutex);
            failed = writeError != nullptr;
        }
        finishEncoders(failed);
        if (writeError) std::rethrow_exception(writeError);
        if (written != decoded) throw HostError(EXIT_FAILURE_RUN, "stopped");
        pipeline.Stop();
    }
    for (Worker &worker : workers) worker.instance->End();
    return totals;
}
