// A minimal in-process host for tests: one instance with its activation, bottom-up 32-bit
// source and destination frames laid out as the host lays them (pitch padded, separate buffers),
// and a frame counter.
#pragma once

#include <cstdint>
#include <vector>

#include "host/instance.h"

struct TestHost {
    RemovalInstance instance{};
    FilterActivation activation{};
    FilterStateInfo state{};
    VFBitmap src{};
    VFBitmap dst{};
    std::vector<uint8_t> srcBuffer;
    std::vector<uint8_t> dstBuffer;

    // Frames of w x h pixels whose rows are `padding` bytes longer than the pixels need.
    explicit TestHost(int32_t w = 32, int32_t h = 24, int32_t padding = 0);
    ~TestHost();
    TestHost(const TestHost &) = delete;
    TestHost &operator=(const TestHost &) = delete;

    // Resizes both frames (contents zero); the activation keeps pointing at them.
    void ResizeFrames(int32_t w, int32_t h, int32_t padding = 0);
    // Runs initProc and stores the activation in the instance.
    void Init();
    void SetFrameNumber(int32_t frame) { state.lCurrentSourceFrame = frame; }

    // Pixel access by plane position (row 0 = first row in memory = bottom of the picture).
    uint32_t &Src(int32_t x, int32_t row);
    uint32_t &Dst(int32_t x, int32_t row);
    // Fills the source with a deterministic pattern (top bytes included).
    void FillSourcePattern(uint32_t seed);
};

// A plane cell by plane position.
inline uint32_t &Cell(MaskImage &plane, int32_t x, int32_t row) {
    return plane.pixels[(size_t)row * (size_t)plane.width + (size_t)x];
}
