// Shared pieces of the fuzz targets: a throw-away instance with its activation and frames, and a
// per-process scratch folder for the files the module reads.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/instance.h"
#include "platform/linux/shim.h"

struct FuzzHost {
    RemovalInstance instance{};
    FilterActivation activation{};
    FilterStateInfo state{};
    VFBitmap src{};
    VFBitmap dst{};
    std::vector<uint32_t> srcPixels;
    std::vector<uint32_t> dstPixels;

    FuzzHost(int32_t w, int32_t h) {
        activation.filter = &g_filterDefinition;
        activation.filter_data = &instance;
        activation.src = &src;
        activation.dst = &dst;
        activation.pfsi = &state;
        // Exact-size buffers so that AddressSanitizer sees any write past the frame.
        srcPixels.assign((size_t)w * (size_t)h, 0);
        dstPixels.assign((size_t)w * (size_t)h, 0xCDCDCDCDu);
        for (VFBitmap *b : {&src, &dst}) {
            b->w = w;
            b->h = h;
            b->depth = 32;
            b->pitch = (ptrdiff_t)w * 4;
            b->modulo = 0;
            b->size = (ptrdiff_t)w * 4 * h;
        }
        src.data = srcPixels.data();
        dst.data = dstPixels.data();
        initProc(&activation, nullptr);
        instance.activation = &activation;
    }
    ~FuzzHost() { deinitProc(&activation, nullptr); }
};

// A folder of this process for the files a target writes (index, graymaps).
inline const std::string &ScratchFolder() {
    static std::string folder = [] {
        const char *base = std::getenv("TMPDIR");
        std::string f = std::string(base && *base ? base : "/tmp") + "/sr-fuzz-" + std::to_string(getpid());
        std::string command = "mkdir -p '" + f + "'";
        if (std::system(command.c_str()) != 0) std::abort();
        return f;
    }();
    return folder;
}

inline bool WriteFile(const std::string &path, const uint8_t *data, size_t size) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

// Takes bytes from the front of the input; zero once it is used up.
struct ByteReader {
    const uint8_t *data;
    size_t size;
    uint8_t Byte() {
        if (!size) return 0;
        --size;
        return *data++;
    }
    int32_t Int32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= (uint32_t)Byte() << (8 * i);
        return (int32_t)v;
    }
};

inline const char *AnswerWith(void *context, const OPENFILENAMEA *) {
    return static_cast<const std::string *>(context)->c_str();
}

inline int SilentBox(void *, HWND, const char *, const char *, UINT) { return 1; }
