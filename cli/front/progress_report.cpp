// Writing --progress blocks in the keys and formats of ffmpeg's -progress, so that tools which
// follow ffmpeg follow subremove too.
#include "cli/front/progress_report.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "cli/errors.h"

namespace {

using Clock = std::chrono::steady_clock;

// ffmpeg's default -stats_period.
constexpr auto kPeriod = std::chrono::milliseconds(500);

}  // namespace

ProgressReport::ProgressReport(const std::string &path, int64_t usPerFrame, std::function<int64_t()> outputSize)
    : usPerFrame_(usPerFrame), outputSize_(std::move(outputSize)), start_(Clock::now()), last_(start_) {
    if (path.empty()) return;
    if (path == "-") {
        file_ = stdout;
        return;
    }
    file_ = std::fopen(path.c_str(), "w");
    if (!file_) throw HostError(EXIT_FAILURE_RUN, "cannot write the progress to " + path + ": " + std::strerror(errno));
    ownsFile_ = true;
}

ProgressReport::~ProgressReport() {
    if (ownsFile_) std::fclose(file_);
}

void ProgressReport::Update(int64_t frames) {
    if (!file_) return;
    const Clock::time_point now = Clock::now();
    if (now - last_ < kPeriod) return;
    last_ = now;
    Write(frames, false);
}

void ProgressReport::End(int64_t frames) {
    if (file_) Write(frames, true);
}

void ProgressReport::Write(int64_t frames, bool end) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const int64_t outUs = frames * usPerFrame_;
    std::fprintf(file_, "frame=%" PRId64 "\nfps=%.2f\n", frames, seconds > 0 ? frames / seconds : 0.0);
    const int64_t size = outputSize_ ? outputSize_() : -1;
    if (size >= 0) std::fprintf(file_, "total_size=%" PRId64 "\n", size);
    // out_time_ms is microseconds too: ffmpeg's name, kept for the scripts that read it.
    std::fprintf(file_, "out_time_us=%" PRId64 "\nout_time_ms=%" PRId64 "\n", outUs, outUs);
    std::fprintf(file_, "out_time=%02" PRId64 ":%02d:%02d.%06d\n", outUs / 3600000000, (int)(outUs / 60000000 % 60),
                 (int)(outUs / 1000000 % 60), (int)(outUs % 1000000));
    if (seconds > 0) std::fprintf(file_, "speed=%.3gx\n", outUs / 1e6 / seconds);
    else std::fprintf(file_, "speed=N/A\n");
    std::fprintf(file_, "progress=%s\n", end ? "end" : "continue");
    std::fflush(file_);
}
