// The plug-in side of subremove: loads a filter module through its two exported entry points and
// drives one filter instance the way the VirtualDub host does (init, script Config, start, one run
// per frame, end, deinit). Frames are handed over as the host stores them: 32-bit 0x00RRGGBB,
// bottom-up, rows padded to 32 bytes, with a separate destination buffer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/plugin/filter_settings.h"
#include "host/vdplugin.h"

// A loaded module with its registered filter definition. One per process: the stand-in window
// layer's handlers are process-wide.
class FilterModuleHandle {
public:
    // Throws HostError (exit status 1) when the module cannot be loaded or registers nothing.
    explicit FilterModuleHandle(const std::string &path);
    ~FilterModuleHandle();
    FilterModuleHandle(const FilterModuleHandle &) = delete;
    FilterModuleHandle &operator=(const FilterModuleHandle &) = delete;

    FilterDefinition *definition() const { return definition_; }
    const FilterFunctions *functions() const { return &functions_; }

private:
    static FilterDefinition *AddFilter(FilterModule *module, FilterDefinition *definition, int size);
    static void RemoveFilter(FilterDefinition *registered);

    void *library_ = nullptr;
    FilterModule module_{};
    FilterFunctions functions_{};
    FilterDefinition *definition_ = nullptr;
    FilterModuleDeinitProc deinit_ = nullptr;
};

// One instance of the filter with its frame buffers.
class FilterInstance {
public:
    FilterInstance(const FilterModuleHandle &module, int32_t width, int32_t height);
    ~FilterInstance();
    FilterInstance(const FilterInstance &) = delete;
    FilterInstance &operator=(const FilterInstance &) = delete;

    // Runs the script function Config with the settings. Returns the ScriptError code the module
    // reported, or 0. Throws HostError when the module declares no usable Config function.
    int Configure(const FilterSettings &settings);
    // The module's script line for its current settings (fssProc); empty when it writes none.
    std::string ScriptLine();

    // startProc, with the frame state set to the first frame the run will process.
    void Start(int32_t firstFrame);
    // Runs the filter on the source buffer for the frame at 0-based presentation index `frame`.
    void Run(int32_t frame, int64_t microsecondsPerFrame);
    void End();

    // Source and destination pixel rows by picture row (0 = top), as 0x00RRGGBB words.
    uint32_t *SourceRow(int32_t pictureRow);
    const uint32_t *SourceRow(int32_t pictureRow) const;
    const uint32_t *DestinationRow(int32_t pictureRow) const;
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }

private:
    const FilterModuleHandle &module_;
    int32_t width_;
    int32_t height_;
    std::vector<uint8_t> instanceData_;
    std::vector<uint8_t> srcBuffer_;
    std::vector<uint8_t> dstBuffer_;
    VFBitmap src_{};
    VFBitmap dst_{};
    FilterStateInfo state_{};
    FilterActivation activation_{};
    bool started_ = false;
    bool initialised_ = false;
};

// Answers of the stand-in window layer: the open-file box gets `indexPath` (empty: cancelled),
// message boxes become warnings (cli/front/warnings.h) that leave the film not fully cleaned.
void InstallWindowHandlers(const std::string &indexPath);
// The index the open-file box is answered with from now on; returns the one before. An instance
// reads its index when it is configured, on the thread that configures it.
std::string AnswerIndexWith(const std::string &indexPath);
// Number of message boxes shown so far.
int MessageBoxCount();
