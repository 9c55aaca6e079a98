// --progress FILE: FFmpeg-style key=value progress blocks for scripts, each ended by
// "progress=continue", the last by "progress=end".
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

class ProgressReport {
public:
    // `path`: a file to create, "-" for standard output, empty for none. `usPerFrame` gives the
    // output time of a frame; `outputSize` the bytes written so far, or -1 when not known.
    // Throws HostError when the file cannot be created.
    ProgressReport(const std::string &path, int64_t usPerFrame, std::function<int64_t()> outputSize);
    ~ProgressReport();
    ProgressReport(const ProgressReport &) = delete;
    ProgressReport &operator=(const ProgressReport &) = delete;

    // After each written frame, from one thread at a time; writes at most two blocks a second.
    void Update(int64_t frames);
    // The last block, once the output is complete.
    void End(int64_t frames);

private:
    void Write(int64_t frames, bool end);

    FILE *file_ = nullptr;
    bool ownsFile_ = false;
    int64_t usPerFrame_;
    std::function<int64_t()> outputSize_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
};
