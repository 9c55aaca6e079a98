// subremove: removes burnt-in subtitles from a video with the filter module, loaded through the
// plug-in interface as the VirtualDub host loads it. Decodes the input, hands every frame to one
// filter instance in presentation order, and encodes what the filter returns.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <new>
#include <utility>
#include <vector>

#include "cli/errors.h"
#include "cli/options.h"
#include "cli/pipeline.h"
#include "cli/plugin_host.h"
#include "cli/video.h"
#include "host/params.h"

#ifndef SUBREMOVE_VERSION
#define SUBREMOVE_VERSION "0"
#endif

namespace {

using Clock = std::chrono::steady_clock;

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
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) throw HostError(EXIT_FAILURE_RUN, "cannot read the index " + path + ": " + std::strerror(errno));
    std::fclose(f);
}

// Frame ranges of the index, for the summary only (the module does its own reading). Same token
// rules: a count, then "number,first,last,x,y" tokens, at most the count of them.
std::vector<std::pair<int64_t, int64_t>> ReadSubtitleRanges(const std::string &path) {
    std::vector<std::pair<int64_t, int64_t>> ranges;
    if (path.empty()) return ranges;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return ranges;
    char token[260];
    long declared = 0;
    if (std::fscanf(f, "%259s", token) == 1) declared = std::strtol(token, nullptr, 10);
    while (declared > 0 && (long)ranges.size() < declared && std::fscanf(f, "%259s", token) == 1) {
        long number = 0, first = 0, last = -1, x = 0, y = 0;
        if (std::sscanf(token, "%ld,%ld,%ld,%ld,%ld", &number, &first, &last, &x, &y) < 3) last = first - 1;
        ranges.emplace_back(first, last);
    }
    std::fclose(f);
    return ranges;
}

bool HasSubtitle(const std::vector<std::pair<int64_t, int64_t>> &ranges, int64_t frame) {
    for (const auto &r : ranges) {
        if (r.first <= frame && frame <= r.second) return true;
    }
    return false;
}

int64_t MicrosecondsPerFrame(AVRational rate) {
    return rate.num > 0 ? (int64_t)1000000 * rate.den / rate.num : 40000;
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

int Preview(const Options &o, const FilterModuleHandle &module, VideoInput &input) {
    const int w = input.width(), h = input.height();
    AVFrame *frame = nullptr;
    int64_t index = 0;
    while ((frame = input.NextFrame()) != nullptr && index < o.previewFrame) ++index;
    if (!frame) {
        throw HostError(EXIT_FAILURE_RUN, "--preview " + std::to_string(o.previewFrame) + " is past the end of " + o.input +
                                              " (" + std::to_string(index) + " frames)");
    }
    ColourConverter converter(w, h, (AVPixelFormat)frame->format, frame->colorspace, frame->color_range);
    std::vector<uint8_t> rgb((size_t)w * 3 * h * 3);
    const int32_t modes[3] = {MODE_ORIGINAL, MODE_MASK_ONLY, MODE_FINAL};
    for (int panel = 0; panel < 3; ++panel) {
        FilterInstance instance(module, w, h);
        FilterSettings settings = o.settings;
        settings.mode = modes[panel];
        ConfigureInstance(instance, settings, o.configGiven);
        instance.Start((int32_t)o.previewFrame);
        converter.ToHost(frame, instance);
        instance.Run((int32_t)o.previewFrame, MicrosecondsPerFrame(input.frameRate()));
        instance.End();
        for (int y = 0; y < h; ++y) {
            const uint32_t *row = instance.DestinationRow(y);
            uint8_t *outRow = rgb.data() + ((size_t)y * w * 3 + (size_t)panel * w) * 3;
            for (int x = 0; x < w; ++x) {
                outRow[3 * x] = (uint8_t)(row[x] >> 16);
                outRow[3 * x + 1] = (uint8_t)(row[x] >> 8);
                outRow[3 * x + 2] = (uint8_t)row[x];
            }
        }
    }
    WritePng(o.previewPath, w * 3, h, rgb);
    if (!o.quiet) std::fprintf(stderr, "subremove: frame %lld as original | mask | final written to %s\n", (long long)o.previewFrame, o.previewPath.c_str());
    return EXIT_OK;
}

int Run(const Options &o) {
    if (o.printConfig) return PrintConfig(o);
    CheckIndexReadable(o.index);
    InstallWindowHandlers(o.index);
    SetBeforeWarningHook(EndProgressLine);
    FilterModuleHandle module(FindModule(o.modulePath));
    VideoInput input(o.input);
    if (o.previewFrame >= 0) return Preview(o, module, input);

    OutputOptions outputOptions;
    outputOptions.codec = o.codec;
    outputOptions.quality = o.quality;
    VideoOutput output(o.output, input, outputOptions);
    input.keepPackets = output.CanPassPackets();
    input.onOtherPacket = [&output](AVPacket *packet) { output.CopyPacket(packet); };
    if (o.index.empty() && o.settings.mode != MODE_ORIGINAL && !o.quiet) {
        std::fprintf(stderr, "subremove: warning: no --index given: the frames pass through unchanged\n");
    }

    const auto ranges = ReadSubtitleRanges(o.index);
    int threads = o.threads;
    if (threads <= 0) threads = std::max(1u, std::min(16u, std::thread::hardware_concurrency()));
    Progress progress(!o.quiet && isatty(STDERR_FILENO), input.ExpectedFrames());
    const FilmTotals totals = ProcessFilm(module, o.settings, o.configGiven, input, output, threads, ranges,
                                          [&progress](int64_t done) { progress.Update(done); });
    output.Finish();
    progress.Close();
    const int64_t frames = totals.frames;
    int64_t withSubtitle = 0;
    for (int64_t f = 0; f < frames; ++f) withSubtitle += HasSubtitle(ranges, f);
    const int64_t repainted = totals.repainted;
    if (frames == 0) std::fprintf(stderr, "subremove: warning: %s holds no frames\n", o.input.c_str());
    if (!o.quiet) {
        const double seconds = progress.Seconds();
        std::fprintf(stderr, "subremove: %lld frames, %lld with a subtitle, %lld repainted, %.1f s (%.1f frames/s); written to %s\n",
                     (long long)frames, (long long)withSubtitle, (long long)repainted, seconds,
                     seconds > 0 ? frames / seconds : 0.0, o.output.c_str());
    }
    return EXIT_OK;
}

}  // namespace

int main(int argc, char **argv) {
    // FFmpeg's own log would add lines of its own to our one-line errors; we report every failure.
    av_log_set_level(AV_LOG_QUIET);
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
