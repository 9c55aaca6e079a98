#include "support/test_host.h"

#include <cstring>

TestHost::TestHost(int32_t w, int32_t h, int32_t padding) {
    activation.filter = &g_filterDefinition;
    activation.filter_data = &instance;
    activation.src = &src;
    activation.dst = &dst;
    activation.pfsi = &state;
    ResizeFrames(w, h, padding);
}

TestHost::~TestHost() { deinitProc(&activation, nullptr); }

void TestHost::ResizeFrames(int32_t w, int32_t h, int32_t padding) {
    const ptrdiff_t pitch = (ptrdiff_t)w * 4 + padding;
    srcBuffer.assign((size_t)(pitch * h) + 4, 0);
    dstBuffer.assign((size_t)(pitch * h) + 4, 0);
    for (VFBitmap *b : {&src, &dst}) {
        b->w = w;
        b->h = h;
        b->depth = 32;
        b->pitch = pitch;
        b->modulo = padding;
        b->size = pitch * h;
        b->offset = 0;
    }
    src.data = reinterpret_cast<uint32_t *>(srcBuffer.data());
    dst.data = reinterpret_cast<uint32_t *>(dstBuffer.data());
}

void TestHost::Init() {
    initProc(&activation, nullptr);
    instance.activation = &activation;
}

uint32_t &TestHost::Src(int32_t x, int32_t row) {
    return *reinterpret_cast<uint32_t *>(srcBuffer.data() + row * src.pitch + 4 * x);
}

uint32_t &TestHost::Dst(int32_t x, int32_t row) {
    return *reinterpret_cast<uint32_t *>(dstBuffer.data() + row * dst.pitch + 4 * x);
}

void TestHost::FillSourcePattern(uint32_t seed) {
    uint32_t v = seed * 2654435761u + 12345u;
    for (auto &byte : srcBuffer) {
        v = v * 1664525u + 1013904223u;
        byte = (uint8_t)(v >> 24);
    }
}
