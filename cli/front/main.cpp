// subremove: removes burnt-in subtitles from a video with the filter module, loaded through the
// plug-in interface as the VirtualDub host loads it. Decodes the input, hands every frame to one
// filter instance in presentation order, and encodes what the filter returns.
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "cli/colour/colour.h"
#include "cli/detection/detect_run.h"
#include "cli/output/encoder_policy.h"
#include "cli/errors.h"
#include "cli/input/film_part.h"
#include "cli/pipeline/filter_reach.h"
#include "cli/plugin/filter_settings.h"
#include "cli/pipeline/frame_ranges.h"
#include "cli/plugin/graymap_files.h"
#include "cli/plugin/index_summary.h"
#include "cli/input/input.h"
#include "cli/front/interrupt.h"
#include "cli/front/options.h"
#include "cli/output/output.h"
#include "cli/pipeline/pipeline.h"
#include "cli/plugin/plugin_host.h"
#include "cli/pipeline/preview.h"
#include "cli/front/progress_report.h"
#include "cli/detection/radius_auto.h"
#include "cli/detection/radius_plan.h"
#include "cli/temporal_fill/temporal_frames.h"
#include "cli/ocr/ocr_session.h"
#include "cli/front/warnings.h"
#include "platform/linux/shim.h"
#include "host/params.h"

#ifndef SUBREMOVE_VERSION
#define SUBREMOVE_VERSION "0"
#endif

namespace {

using Clock = std::chrono::steady_clock;

// The module's path buffers: 259 characters and a zero, as Windows' MAX_PATH.
constexpr size_t kModulePathCapacity = 260;

// Pixels of all workers' frames together when the number of workers is left to subremove.
constexpr int64_t kWorkerPixelBudget = int64_t(1) << 27;

// A progress line is open on the terminal: an error message must start on a clean line.
// Workers' warnings may come while it is open, hence atomic.
std::atomic<bool> g_progressLineOpen{false};

void EndProgressLine() {
    if (g_progressLineOpen.exchange(false)) std::fprintf(stderr, "\r\033[K");
}

std::string ExecutableDirectory() {
    char path[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return ".";
    std::string p(path, (size_t)n);
    size_t slash = p.find_last_of('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

bool IsFile(const std::string &path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Beside subremove: in the build tree the module lies next to it, once installed in
// ../lib/subtitle-removal.
std::string FindModule(const std::string &given) {
    if (!given.empty()) {
        if (!IsFile(given)) throw HostError(EXIT_FAILURE_RUN, "cannot load the filter module " + given + ": no such file");
        return given;
    }
    const std::string dir = ExecutableDirectory();
    const std::string candidates[] = {dir + "/subtitle_removal.so", dir + "/../lib/subtitle-removal/subtitle_removal.so"};
    for (const std::string &c : candidates) {
        if (IsFile(c)) return c;
    }
    throw HostError(EXIT_FAILURE_RUN, "no filter module beside subremove (looked for " + candidates[0] + " and " +
                                          candidates[1] + "); name one with --module");
}

void CheckIndexReadable(const std::string &path) {
    if (path.empty()) return;
    struct stat st{};
    if (stat(path.c_str(), &st) != 0) {
        throw HostError(EXIT_FAILURE_RUN, "cannot read the index " + path + ": " + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) throw HostError(EXIT_FAILURE_RUN, "cannot read the index " + path + ": not a file");
    // The module keeps paths in Windows-sized buffers and its open-file box refuses a longer one,
    // which it takes as cancelled: the run would go on with no subtitles and no word why.
    char modulePath[kModulePathCapacity];
    if (!LocalPathToModulePath(path.c_str(), modulePath, sizeof(modulePath))) {
        throw HostError(EXIT_FAILURE_RUN, "cannot hand the index " + path + " to the filter: its full path is longer than " +
                                              std::to_string(kModulePathCapacity - 1) + " characters");
    }
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) throw HostError(EXIT_FAILURE_RUN, "cannot read the index " + path + ": " + std::strerror(errno));
    std::fclose(f);
}

// Says so when the index gives the module nothing to remove: the run would otherwise end with an
// unchanged film and no word why.
void WarnAboutIndex(const Options &o, const IndexSummary &summary) {
    const std::string &path = o.index;
    if (o.settings.mode == MODE_ORIGINAL) return;
    if (o.findSubtitles) {
        // Nothing found is an answer, not a failure to clean.
        if (summary.ranges.empty() && !o.quiet) Warn(WarningKind::kNotice, "no subtitle found: the frames pass through unchanged");
    } else if (summary.declared > kMaxIndexEntries) {
        Warn(WarningKind::kNotCleaned, "the index " + path + " declares " + std::to_string(summary.declared) +
                                           " subtitles, more than the " + std::to_string(kMaxIndexEntries) +
                                           " the filter reads, so it reads none: the frames pass through unchanged");
    } else if (summary.ranges.empty()) {
        Warn(WarningKind::kNotCleaned, "the index " + path + " lists no usable subtitle: the frames pass through unchanged");
    }
}

class Progress {
public:
    Progress(bool shown, int64_t total) : shown_(shown), total_(total), start_(Clock::now()), last_(start_) {}
    void Update(int64_t done) {
        if (!shown_) return;
        Clock::time_point now = Clock::now();
        // The first frame shows the line at once; after that four updates a second are plenty.
        if (done > 1 && now - last_ < std::chrono::milliseconds(250)) return;
        last_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double fps = seconds > 0 ? done / seconds : 0;
        char left[32] = "?";
        if (total_ > 0 && fps > 0 && done <= total_) {
            const long remaining = (long)((total_ - done) / fps + 0.5);
            std::snprintf(left, sizeof(left), "%ld:%02ld", remaining / 60, remaining % 60);
        }
        if (total_ > 0) {
            std::fprintf(stderr, "\rsubremove: frame %lld/%lld  %.1f fps  %s left   ", (long long)done, (long long)total_, fps, left);
        } else {
            std::fprintf(stderr, "\rsubremove: frame %lld  %.1f fps   ", (long long)done, fps);
        }
        std::fflush(stderr);
        g_progressLineOpen = true;
    }
    void Close() { EndProgressLine(); }
    double Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

private:
    bool shown_;
    int64_t total_;
    Clock::time_point start_;
    Clock::time_point last_;
};

// Another stream's packet belongs to the part when it starts inside it; kept ones are moved by the
// part's start, as the video frames are.
bool KeepOtherPacket(const VideoInput &input, const FilmPart &part, AVPacket *packet) {
    if (part.startUs == 0 && part.endUs < 0) return true;
    const AVStream *stream = input.format()->streams[packet->stream_index];
    if (packet->pts == AV_NOPTS_VALUE) return false;
    const int64_t from = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    const int64_t us = av_rescale_q(packet->pts - from, stream->time_base, AVRational{1, 1000000});
    if (us < part.startUs || (part.endUs >= 0 && us >= part.endUs)) return false;
    const int64_t shift = av_rescale_q(part.startUs, AVRational{1, 1000000}, stream->time_base);
    packet->pts -= shift;
    if (packet->dts != AV_NOPTS_VALUE) packet->dts -= shift;
    return true;
}

int PrintConfig(const Options &o) {
    InstallWindowHandlers(o.index);
    FilterModuleHandle module(FindModule(o.modulePath));
    FilterInstance instance(module, 16, 16);
    ConfigureInstance(instance, o.settings, o.configGiven);
    const std::string line = instance.ScriptLine();
    if (line.empty()) throw HostError(EXIT_FAILURE_RUN, "the filter module wrote no script line");
    std::printf("%s\n", line.c_str());
    return EXIT_OK;
}

// The rows the filter reaches in each frame, from the index's entries and their graymaps.
std::unique_ptr<FilterReach> MakeReach(const Options &o, const IndexSummary &index, VideoInput &input,
                                       const VideoOutput &output) {
    if (o.index.empty()) return nullptr;
    std::vector<SubtitlePlace> places;
    for (size_t i = 0; i < index.entries.size(); ++i) {
        const IndexEntry &e = index.entries[i];
        if (e.matches) places.push_back(SubtitlePlace{e.firstFrame, e.lastFrame, e.y, (int64_t)i});
    }
    const int align = ConversionRowAlignment(input.decoder()->pix_fmt, output.plan().pixelFormat);
    return std::make_unique<FilterReach>(places, o.index, o.settings, input.height(), align);
}

// What the decoder had to hide: damaged pictures are not what the index was made from.
void WarnAboutDecoding(const Options &o, const VideoInput &input) {
    if (input.ConcealedFrames() > 0) {
        Warn(WarningKind::kNotCleaned, std::to_string(input.ConcealedFrames()) + " frame(s) of " + o.input +
                                           " were decoded with errors concealed: they may show damage");
    }
}

// The warnings about what was read, and the summary line.
void Report(const Options &o, VideoInput &input, const FilmTotals &totals, int64_t withSubtitle, double seconds) {
    const int64_t frames = totals.frames;
    if (totals.decoded == 0) Warn(WarningKind::kNotice, o.input + " holds no frames");
    else if (frames == 0) Warn(WarningKind::kNotice, "the part asked for holds none of the film's frames");
    // A file cut short ends like a whole one; only a frame count its header declares tells them
    // apart. Durations do not: variable frame rates and streams that start late miscount them.
    const int64_t announced = input.stream()->nb_frames;
    if (o.start.empty() && o.end.empty() && o.duration.empty() && o.frameLimit < 0 && frames > 0 && announced > 0 &&
        frames < announced) {
        Warn(WarningKind::kNotice, o.input + " ends after " + std::to_string(frames) + " of the " + std::to_string(announced) +
                                       " frames it announces: it may be cut short");
    }
    if (!o.quiet && withSubtitle < 0) {
        std::fprintf(stderr, "subremove: %lld frames, %lld repainted, %.1f s (%.1f frames/s); written to %s\n",
                     (long long)frames, (long long)totals.repainted, seconds, seconds > 0 ? frames / seconds : 0.0,
                     o.output.c_str());
    } else if (!o.quiet) {
        std::fprintf(stderr, "subremove: %lld frames, %lld with a subtitle, %lld repainted, %.1f s (%.1f frames/s); written to %s\n",
                     (long long)frames, (long long)withSubtitle, (long long)totals.repainted, seconds,
                     seconds > 0 ? frames / seconds : 0.0, o.output.c_str());
    }
}

OutputOptions MakeOutputOptions(const Options &o, int threads) {
    OutputOptions out;
    out.codec = o.codec;
    out.quality = o.quality;
    out.threads = threads;
    out.overwrite = o.overwrite;
    out.format = o.format;
    out.codecOptions = o.codecOptions;
    out.quiet = o.quiet;
    out.textStream = !o.ocrLanguages.empty();
    out.textKeptElsewhere = !o.srtPath.empty();
    return out;
}

// Filter instances: as the encoder policy shares out the threads; without --threads also no more
// than keeps the instances' frame buffers to about 2 GiB (16 bytes a pixel each): sixteen at 4K,
// four at 8K.
int FilterWorkers(const Options &o, int threads, const VideoInput &input, const VideoOutput &output) {
    const int instances = FilterInstances(threads, output.plan(), o.temporalFill);
    if (o.threads > 0) return instances;
    const int64_t pixels = (int64_t)input.width() * input.height();
    return (int)std::max<int64_t>(1, std::min<int64_t>(instances, kWorkerPixelBudget / pixels));
}

// What the pipeline is told of the film and the settings.
FilmSettings FilmFor(const Options &o, int threads, int workers, const std::vector<FrameRange> &ranges, const RadiusPlan *radii,
                     const FilterReach *reach, const FilmPart &part) {
    FilmSettings film;
    film.filter = o.settings;
    film.fromConfigLine = o.configGiven;
    film.threads = threads;
    film.instances = workers;
    film.ranges = ranges;
    film.radii = radii;
    film.reach = reach;
    film.part = part;
    film.temporal = o.temporalFill;
    film.temporalWindow = o.temporalWindow;
    return film;
}

// The temporal fill by default, when subremove found the subtitles itself, on pictures it takes;
// on others the spatial fill, which takes every format. An explicit --fill temporal keeps its error.
void ChooseFill(Options &o, const VideoInput &input) {
    if (o.findSubtitles && !o.fillGiven && !TemporalFormatSupported(input.decoder()->pix_fmt, nullptr)) o.temporalFill = false;
}

// --ocr: the text read beside the run, timed by the frames as the run reads them; the output's
// header, which carries the text stream's language, is written now.
void StartText(const Options &o, const IndexSummary &index, VideoInput &input, VideoOutput &output, OcrSession &ocr) {
    ocr.WaitLoaded();
    const AVStream *stream = input.stream();
    ocr.Begin(o.index, index, std::make_unique<FrameClock>(stream->time_base, input.NominalFrameDuration(),
                                                           stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time));
    output.StartText(&ocr.cues(), ocr.StreamLanguage());
}

// The run proper: every frame through the filter instances and into the output.
int CleanFilm(const Options &o, const IndexSummary &index, FilterModuleHandle &module, VideoInput &input, VideoOutput &output,
              const RadiusPlan *plan, int threads, OcrSession *ocr) {
    input.keepPackets = output.CanPassPackets();
    const FilmPart part = MakeFilmPart(o.start, o.end, o.duration, o.frameLimit);
    input.onOtherPacket = [&output, &input, part](AVPacket *packet) {
        if (KeepOtherPacket(input, part, packet)) output.CopyPacket(packet);
    };
    WarnAboutIndex(o, index);
    // What is known before the first frame fails at once rather than after the whole film.
    ThrowIfStrictFailed();
    const auto &ranges = index.ranges;
    Progress progress(!o.quiet && isatty(STDERR_FILENO), part.Whole() ? input.ExpectedFrames() : -1);
    Options reachOptions = o;
    if (plan) reachOptions.settings.radius = plan->Outward();
    const std::unique_ptr<FilterReach> reach = MakeReach(reachOptions, index, input, output);
    FilmSettings film = FilmFor(o, threads, FilterWorkers(o, threads, input, output), ranges, plan, reach.get(), part);
    if (ocr) {
        StartText(o, index, input, output, *ocr);
        film.frameRead = [ocr](int64_t n, const AVFrame *frame, int64_t pts, int64_t duration) { ocr->FrameRead(n, frame, pts, duration); };
    }
    ProgressReport report(o.progressPath, input.MicrosecondsPerFrame(), [&output] { return output.BytesWritten(); });
    const FilmTotals totals = ProcessFilm(module, film, input, output, [&](int64_t done) {
        progress.Update(done);
        report.Update(done);
        ThrowIfStrictFailed();  // a graymap the filter could not load: stop now, not at the end
    });
    WarnAboutDecoding(o, input);
    if (ocr) {  // every text read, and its warnings given, before the output is published
        ocr->FilmRead();
        ocr->WaitAllRead();
    }
    ThrowIfStrictFailed();  // before Finish: the output is discarded, never published
    output.Finish();
    if (ocr) {
        ocr->WriteSrt();
        ocr->PublishSrt();
    }
    progress.Close();
    report.End(totals.frames);
    Report(o, input, totals, part.Whole() ? FramesWithSubtitle(ranges, totals.frames) : -1, progress.Seconds());
    if (ocr && !o.quiet) std::fprintf(stderr, "subremove: %s\n", ocr->Summary().c_str());
    return EXIT_OK;
}

// The index the module will read, checked and summarised once; its folder answers the module's
// open-file boxes.
IndexSummary OpenIndex(const Options &o) {
    CheckIndexReadable(o.index);
    IndexSummary index = ReadIndexSummary(o.index);
    CheckGraymapFiles(o.index, index);
    InstallWindowHandlers(o.index);
    return index;
}

int ThreadsFor(const Options &o) {
    return o.threads > 0 ? o.threads : (int)std::max(1u, std::min(16u, std::thread::hardware_concurrency()));
}

// Without an index the subtitles are found into a private folder, once the module, the input and
// the output have been opened: whatever would refuse the run refuses it before the long pass.
struct FoundSubtitles {
    std::unique_ptr<FoundFolder> folder;
    std::vector<Widening> widenings;
};
FoundSubtitles FindSubtitles(Options &o) {
    FoundSubtitles found;
    found.folder = std::make_unique<FoundFolder>();
    o.detectDir = found.folder->path();
    const DetectedFilm detected = DetectFilm(o);
    o.index = detected.index;
    found.widenings = detected.widenings;
    return found;
}

// --ocr: Tesseract loads its languages on the reading thread while the run opens everything
// else; --srt is refused (an existing file, the input) before anything is read.
std::unique_ptr<OcrSession> StartReading(const Options &o) {
    if (o.ocrLanguages.empty()) return nullptr;
    auto ocr = std::make_unique<OcrSession>(o.ocrLanguages);
    if (!o.srtPath.empty()) {
        InstallInterruptHandlers();  // an interrupted run removes the SRT's temporary file
        ocr->OpenSrt(o.srtPath, o.input, o.overwrite);
    }
    return ocr;
}

// --srt without an output film: the text of the index's subtitles, and nothing else.
int WriteTextOnly(const Options &o, OcrSession &ocr, const IndexSummary &index) {
    SetStrictWarnings(o.strict);
    ocr.WaitLoaded();
    WriteSubtitleTextOnly(ocr, o.input, o.index, index, o.quiet);
    return EXIT_OK;
}

int Run(const Options &given) {
    if (given.printConfig) return PrintConfig(given);
    Options o = given;
    std::unique_ptr<OcrSession> ocr = StartReading(o);
    std::vector<Widening> widenings;  // per index entry, for --radius auto
    if (!o.detectDir.empty()) {
        // --detect DIR: the files are written first, as the recognition tool would write them.
        InstallInterruptHandlers();
        if (ocr) ocr->WaitLoaded();  // a missing language pack before the long pass
        const DetectedFilm detected = DetectFilm(o);
        if (o.output.empty() && o.previews.empty() && ocr) {
            o.index = detected.index;
            return WriteTextOnly(o, *ocr, OpenIndex(o));
        }
        if (o.output.empty() && o.previews.empty()) return EXIT_OK;
        o.index = detected.index;
        widenings = detected.widenings;
    }
    SetStrictWarnings(o.strict);
    std::optional<IndexSummary> index;
    if (!o.findSubtitles) index = OpenIndex(o);
    if (ocr && o.output.empty() && index) return WriteTextOnly(o, *ocr, *index);
    SetBeforeWarningHook(EndProgressLine);
    FilterModuleHandle module(FindModule(o.modulePath));
    const int threads = ThreadsFor(o);
    // Decoding is a small share of the work (a twentieth on the sample film), and frame threads
    // cost copies, extra pictures and hand-overs; the reader keeps up alone until many threads
    // share out the rest.
    VideoInput input(o.input, std::max(1, threads / 4));
    ChooseFill(o, input);
    // From here on an interruption removes what was written before the process ends (the grown
    // graymaps' folder and the subtitles found included).
    if (o.previews.empty() || o.findSubtitles) InstallInterruptHandlers();
    std::unique_ptr<VideoOutput> output;
    if (o.previews.empty() && !o.output.empty()) output = std::make_unique<VideoOutput>(o.output, input, MakeOutputOptions(o, threads));
    FoundSubtitles found;
    if (o.findSubtitles) {
        if (ocr) ocr->WaitLoaded();
        found = FindSubtitles(o);
        widenings = found.widenings;
        index = OpenIndex(o);
        if (ocr && !output) return WriteTextOnly(o, *ocr, *index);
    }
    std::unique_ptr<RadiusPlan> plan;
    if (o.radiusAuto && !o.index.empty()) {
        if (o.detectDir.empty()) widenings = SurveyWidenings(o.input, o.index, *index);
        plan = std::make_unique<RadiusPlan>(*index, widenings, o.settings.radius);
    }
    if (plan) plan->PrepareGraymaps(o.index, *index, input.width(), input.height());
    if (!output) return Preview(o, module, input, plan.get());
    return CleanFilm(o, *index, module, input, *output, plan.get(), threads, ocr.get());
}

// Page faults on fresh memory were the largest cost that threads add: each picture-sized buffer,
// the FFV1 encoder's zeroed 60 MB packet buffer and every thread's own arena fault in afresh. So:
// - picture-sized blocks stay in the heap for reuse instead of being fresh mappings each time;
// - all threads share the main arena, so a block one thread frees is reused by the next.
// The heap is not marked for transparent huge pages. That cut the faults (43,500 to 2,800 on the
// sample film with two threads) but not the time: on the 2-core virtual machine we measure on,
// clearing fresh 2 MB pages cost far more than the faults saved, and the temporal fill's 540 MB
// peak took 0.8 s of system time against 0.2 s in 4 KB pages. With 4 KB pages the temporal fill ran 9 to
// 11 % faster on the 720x576 benchmark clips with two threads, and the spatial fill the same
// within 2 %.
void PrepareHeap() {
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_ARENA_MAX, 1);
}

}  // namespace

int main(int argc, char **argv) {
    // FFmpeg's own log would add lines of its own to our one-line errors; we report every failure.
    av_log_set_level(AV_LOG_QUIET);
    PrepareHeap();
    Options options;
    try {
        options = ParseCommandLine(argc, argv);
    } catch (const HostError &e) {
        std::fprintf(stderr, "subremove: %s\n%s\n", e.what(), kUsageLine);
        return EXIT_USAGE;
    }
    if (options.help) {
        std::fputs(kHelpText, stdout);
        return EXIT_OK;
    }
    if (options.version) {
        std::printf("subremove %s\n", SUBREMOVE_VERSION);
        return EXIT_OK;
    }
    try {
        return Run(options);
    } catch (const HostError &e) {
        EndProgressLine();
        std::fprintf(stderr, "subremove: error: %s\n", e.what());
        return e.status;
    } catch (const std::bad_alloc &) {
        EndProgressLine();
        std::fprintf(stderr, "subremove: error: out of memory\n");
        return EXIT_FAILURE_RUN;
    } catch (const std::exception &e) {
        EndProgressLine();
        std::fprintf(stderr, "subremove: error: %s\n", e.what());
        return EXIT_FAILURE_RUN;
    }
}
