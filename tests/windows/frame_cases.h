// The frame comparison between the Linux module and the Windows module: the input files (index
// files, graymaps and bottom-up 32-bit source frames, generated from fixed seeds), the cases
// (Config settings and the frames they run), and one host's run of every case through a loaded
// module with the call sequence a host makes. The Linux runner and the Windows host both include
// this file and differ only in how they load the module and answer its boxes, so whatever they
// write differs only where the two modules differ.
//
// A run writes per case the whole destination buffer of every frame (padding bytes included),
// every weight table the module used, and a log of the boxes and the saved script line. It also
// checks what must hold on either platform (an Original frame is the source, a subtitle frame in
// Final mode is repainted, each failing graymap shows one box), so that two equally wrong runs
// cannot pass the comparison by agreeing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/instance.h"
#include "host/vdplugin.h"

namespace frames {

// ---- Inputs ----

enum GraymapState { GRAYMAP_GOOD, GRAYMAP_MISSING, GRAYMAP_CORRUPT, GRAYMAP_TRUNCATED };

struct Subtitle {
    int32_t start, end;  // frames, inclusive
    int32_t x, y;        // left column and top row in the picture
    int32_t width, height;
    GraymapState state;
    bool solid = false;  // every sample 255 instead of glyph-like cells
};

// One index file with its graymaps, in its own folder, and the source frames of that size.
struct Folder {
    const char *name;
    int32_t width, height;
    int32_t frameCount;
    std::vector<Subtitle> subtitles;
};

inline const std::vector<Folder> &Folders() {
    static const std::vector<Folder> folders = {
        // Two subtitles back to back, a gap, and one clipped at the right and bottom edges.
        {"wide", 160, 120, 13,
         {{2, 4, 24, 86, 100, 18, GRAYMAP_GOOD},
          {5, 7, 10, 20, 60, 14, GRAYMAP_GOOD},
          {10, 11, 120, 100, 60, 30, GRAYMAP_GOOD}}},
        // An odd width, so vector tails and unaligned rows occur.
        {"odd", 97, 61, 9, {{1, 3, 8, 40, 70, 12, GRAYMAP_GOOD}, {6, 7, 30, 5, 40, 16, GRAYMAP_GOOD}}},
        // Graymaps that fail in each way the loader reports, between good ones.
        {"broken", 64, 48, 12,
         {{1, 2, 6, 30, 40, 10, GRAYMAP_GOOD},
          {3, 4, 6, 30, 40, 10, GRAYMAP_MISSING},
          {5, 6, 6, 30, 40, 10, GRAYMAP_CORRUPT},
          {7, 8, 6, 30, 40, 10, GRAYMAP_TRUNCATED},
          {9, 10, 10, 8, 30, 12, GRAYMAP_GOOD}}},
        // One solid block: its region has exactly 874 border samples at radius 3, depth 10 and
        // pixel aspect -120 (see the case that uses it).
        {"block", 96, 72, 4, {{1, 2, 40, 25, 15, 20, GRAYMAP_GOOD, true}}},
    };
    return folders;
}

inline const Folder *FindFolder(const std::string &name) {
    for (const Folder &f : Folders())
        if (name == f.name) return &f;
    return nullptr;
}

struct Random {
    uint32_t state;
    explicit Random(uint32_t seed) : state(seed * 2654435761u + 12345u) {}
    uint32_t Next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

// Source frame `n`: smooth colour ramps with noise and a random top byte, bottom-up rows.
inline std::vector<uint32_t> SourceFrame(const Folder &folder, int32_t n) {
    std::vector<uint32_t> pixels((size_t)folder.width * (size_t)folder.height);
    Random random((uint32_t)(n + 1) * 7919u + (uint32_t)folder.width);
    for (int32_t y = 0; y < folder.height; ++y)
        for (int32_t x = 0; x < folder.width; ++x) {
            const uint32_t noise = random.Next();
            const uint32_t r = (uint32_t)(x * 255 / folder.width + (noise & 15)) & 0xFF;
            const uint32_t g = (uint32_t)(y * 255 / folder.height + ((noise >> 4) & 31)) & 0xFF;
            const uint32_t b = (uint32_t)((x + y + 13 * n) * 3 + ((noise >> 9) & 63)) & 0xFF;
            pixels[(size_t)y * (size_t)folder.width + (size_t)x] = (noise & 0xFF000000u) | r << 16 | g << 8 | b;
        }
    return pixels;
}

// Glyph-like raster: 3x3 cells on or off, a gray rim on some, and stray single pixels.
inline std::vector<uint8_t> GraymapRaster(const Subtitle &s, uint32_t seed) {
    std::vector<uint8_t> raster((size_t)s.width * (size_t)s.height, s.solid ? 255 : 0);
    if (s.solid) return raster;
    Random random(seed);
    for (int32_t cy = 0; cy < s.height; cy += 3)
        for (int32_t cx = 0; cx < s.width; cx += 3) {
            const uint32_t bits = random.Next();
            if ((bits & 3) == 0) continue;
            const uint8_t value = (bits & 4) ? 255 : (uint8_t)(1 + ((bits >> 8) & 0x7F));
            for (int32_t y = cy; y < cy + 2 && y < s.height; ++y)
                for (int32_t x = cx; x < cx + 2 && x < s.width; ++x) raster[(size_t)y * (size_t)s.width + (size_t)x] = value;
        }
    for (int i = 0; i < 4; ++i) {
        const uint32_t p = random.Next() % (uint32_t)raster.size();
        raster[p] = raster[p] ? 0 : 1;
    }
    return raster;
}

inline bool WriteFile(const std::string &path, const void *data, size_t size) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

inline bool ReadFile(const std::string &path, void *data, size_t size) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    const bool ok = std::fread(data, 1, size, f) == size;
    std::fclose(f);
    return ok;
}

inline std::string FramePath(const std::string &root, char sep, const Folder &folder, int32_t n) {
    return root + sep + folder.name + sep + "frame_" + std::to_string(n) + ".raw";
}

// Writes every folder under `root` (which exists). False on any file error.
inline bool GenerateInputs(const std::string &root, char sep) {
    for (const Folder &folder : Folders()) {
        const std::string dir = root + sep + folder.name;
        std::string index = std::to_string(folder.subtitles.size()) + "\r\n";
        for (size_t i = 0; i < folder.subtitles.size(); ++i) {
            const Subtitle &s = folder.subtitles[i];
            // The entry's own number is not the graymap's: 7 + i makes that visible.
            index += std::to_string(7 + i) + "," + std::to_string(s.start) + "," + std::to_string(s.end) + "," +
                     std::to_string(s.x) + "," + std::to_string(s.y) + "\r\n";
            const std::vector<uint8_t> raster = GraymapRaster(s, (uint32_t)(i + 1) * 104729u);
            std::string pgm = (s.state == GRAYMAP_CORRUPT ? "P2\n" : "P5\n");
            if (i == 0) pgm += "# written by the test\n";
            pgm += std::to_string(s.width) + " " + std::to_string(s.height) + "\n255\n";
            size_t rasterBytes = raster.size();
            if (s.state == GRAYMAP_TRUNCATED) rasterBytes /= 2;
            pgm.append(reinterpret_cast<const char *>(raster.data()), rasterBytes);
            if (s.state != GRAYMAP_MISSING &&
                !WriteFile(dir + sep + "image_" + std::to_string(i) + ".pgm", pgm.data(), pgm.size()))
                return false;
        }
        if (!WriteFile(dir + sep + "film.bms", index.data(), index.size())) return false;
        for (int32_t n = 0; n < folder.frameCount; ++n) {
            const std::vector<uint32_t> frame = SourceFrame(folder, n);
            if (!WriteFile(FramePath(root, sep, folder, n), frame.data(), frame.size() * 4)) return false;
        }
    }
    return true;
}

// ---- Cases ----

// A sweep runs one frame of the folder's first subtitle once per value of a setting over its whole
// range, changing the setting between frames as the dialog's slider does (the field written and a
// rebuild ordered), so every value's weight table is built and used.
enum Sweep { SWEEP_NONE, SWEEP_POWER, SWEEP_PIXEL_ASPECT };

struct Case {
    const char *name;
    const char *folder;
    int32_t mode, depth, power, interlaced, pixelAspect, radius;
    Sweep sweep = SWEEP_NONE;
};

constexpr int32_t kPowerRange[2] = {0, 160};
constexpr int32_t kPixelAspectRange[2] = {-120, 120};

// Frames the case writes: the folder's frames, or one per value of the swept setting.
inline int32_t FrameCount(const Case &c, const Folder &folder) {
    if (c.sweep == SWEEP_POWER) return kPowerRange[1] - kPowerRange[0] + 1;
    if (c.sweep == SWEEP_PIXEL_ASPECT) return kPixelAspectRange[1] - kPixelAspectRange[0] + 1;
    return folder.frameCount;
}

// All three modes; radius 0, 5 and 10; interlaced; pixel aspect -45, 0 and 45; power 0 and 160;
// graymaps that fail to load; every power and every pixel aspect.
inline const std::vector<Case> &Cases() {
    static const std::vector<Case> cases = {
        {"final_defaults", "wide", 2, 15, 40, 0, 0, 5},
        {"final_radius0_power0", "wide", 2, 10, 0, 0, 0, 0},
        {"final_radius10_power160", "odd", 2, 20, 160, 0, 0, 10},
        {"final_aspect_minus45", "wide", 2, 15, 40, 0, -45, 5},
        {"final_aspect_45_interlaced", "odd", 2, 25, 80, 1, 45, 3},
        {"final_interlaced", "wide", 2, 15, 40, 1, 0, 5},
        {"final_depth80_power160", "wide", 2, 80, 160, 0, 45, 1},
        {"mask_radius10_interlaced", "wide", 1, 30, 40, 1, -45, 10},
        {"mask_radius0", "odd", 1, 80, 40, 0, 0, 0},
        {"original", "wide", 0, 15, 40, 0, 0, 5},
        {"final_broken_graymaps", "broken", 2, 15, 40, 0, 0, 2},
        {"mask_broken_graymaps", "broken", 1, 12, 120, 1, -30, 4},
        // Guards weights that follow the host thread's x87 precision: computed by MinGW's pow at
        // 53 bits, this table's weight at dx 9, dy 7 (K / pow(20785, 1.15), K for 874 samples) comes
        // out one float step above the Linux one.
        {"final_block_aspect_minus120_power23", "block", 2, 10, 23, 0, -120, 3},
        // Guards powers whose x87 pow (MinGW's, in the 32-bit module) rounds away from the SSE2
        // builds' result: every power 0..160 at pixel aspect -45, whose scales are not powers of two.
        {"sweep_power", "odd", 2, 15, 40, 0, -45, 5, SWEEP_POWER},
        // Guards pixel aspect scales (pow(2, n/30) on x87 in the 32-bit module) that differ from the
        // other builds': every aspect -120..120, interlaced, at the non-integer power 2.3.
        {"sweep_pixel_aspect", "odd", 2, 15, 23, 1, 0, 5, SWEEP_PIXEL_ASPECT},
    };
    return cases;
}

// ---- One host run ----

constexpr int32_t kRowPadding = 12;      // bytes after each row: modulo is not 0
constexpr uint8_t kUntouched = 0xCD;     // the destination as the host hands it over

// What the two hosts do differently.
struct Platform {
    // The next open-file box is to be answered with this index file (root-based path).
    virtual void AnswerNextOpenFile(const std::string &indexPath) = 0;
    // True when the box was shown and answered since the last AnswerNextOpenFile.
    virtual bool OpenFileAnswered() = 0;
    // Message boxes shown since the last call, as "caption | text", each dismissed.
    virtual std::vector<std::string> TakeMessageBoxes() = 0;
    virtual ~Platform() = default;
};

class Run {
public:
    Run(Platform &platform, FilterModuleInitProc init, FilterModuleDeinitProc deinit, std::string inputRoot,
        std::string outputRoot, char sep)
        : platform_(platform), init_(init), deinit_(deinit), input_(std::move(inputRoot)),
          output_(std::move(outputRoot)), sep_(sep) {}

    // Runs every case; returns the number of failed checks. Prints one line per failure.
    int RunAll() {
        FilterFunctions functions{};
        functions.addFilter = &Run::AddFilter;
        functions.removeFilter = &Run::RemoveFilter;
        FilterModule module{};
        int version = 0, compatible = 0;
        if (init_(&module, &functions, &version, &compatible) != 0 || !registered_) {
            Fail("module", "did not register");
            return failures_;
        }
        log_ = nullptr;
        for (const Case &c : Cases()) RunCase(c, functions);
        deinit_(&module, &functions);
        return failures_;
    }

private:
    static inline FilterDefinition definition_{};
    static inline bool registered_ = false;
    static FilterDefinition *AddFilter(FilterModule *module, FilterDefinition *definition, int size) {
        if (size != (int)sizeof(FilterDefinition)) return nullptr;
        definition_ = *definition;
        definition_.module = module;
        registered_ = true;
        return &definition_;
    }
    static void RemoveFilter(FilterDefinition *) { registered_ = false; }

    void Fail(const std::string &where, const std::string &what) {
        std::printf("FAIL %s: %s\n", where.c_str(), what.c_str());
        ++failures_;
    }

    void Log(const std::string &line) {
        if (log_) std::fprintf(log_, "%s\n", line.c_str());
    }

    void LogBoxes(const std::string &where, size_t expected) {
        const std::vector<std::string> boxes = platform_.TakeMessageBoxes();
        for (const std::string &b : boxes) Log(where + " message box: " + b);
        if (boxes.size() != expected)
            Fail(where, std::to_string(boxes.size()) + " message boxes, expected " + std::to_string(expected));
    }

    void Config(FilterActivation &activation, const Case &c, const std::string &directoryArgument) {
        const ScriptFunctionDef *config = nullptr;
        for (const ScriptFunctionDef *f = definition_.script_obj->func_list; f && f->name; ++f)
            if (std::strcmp(f->name, "Config") == 0) config = f;
        if (!config || std::strcmp(config->arg_list, "0isiiiii") != 0) {
            Fail(c.name, "no script function Config(0isiiiii)");
            return;
        }
        std::string text = directoryArgument;
        char *textPointer = &text[0];
        CScriptValue args[7]{};
        const int values[7] = {c.mode, 0, c.depth, c.power, c.interlaced, c.pixelAspect, c.radius};
        for (int i = 0; i < 7; ++i) {
            args[i].type = SCRIPT_INT;
            args[i].u.i = values[i];
        }
        args[1].type = SCRIPT_STRING;
        args[1].u.s = &textPointer;
        config->func_ptr(nullptr, &activation, args, 7);  // settings in range: no ScriptError call
    }

    // The table the module repaints with: the rows that are filled, from the region extents.
    void DumpWeights(const RemovalInstance *instance, FILE *out) {
        if (!instance->weights || instance->regions.count <= 0) return;
        int32_t maxDy = 0;
        for (int32_t i = 0; i < instance->regions.count; ++i) {
            const Region &r = instance->regions.items[i];
            if (r.pixelCount <= 0 || r.sampleCount <= 0) continue;
            int32_t pMin = r.pixels[0].y, pMax = pMin, sMin = r.samples[0].y, sMax = sMin;
            for (int32_t k = 0; k < r.pixelCount; ++k) {
                if (r.pixels[k].y < pMin) pMin = r.pixels[k].y;
                if (r.pixels[k].y > pMax) pMax = r.pixels[k].y;
            }
            for (int32_t k = 0; k < r.sampleCount; ++k) {
                if (r.samples[k].y < sMin) sMin = r.samples[k].y;
                if (r.samples[k].y > sMax) sMax = r.samples[k].y;
            }
            if (sMax - pMin > maxDy) maxDy = sMax - pMin;
            if (pMax - sMin > maxDy) maxDy = pMax - sMin;
        }
        const int32_t rowLength = instance->interlaced ? 2 * instance->weightStride : instance->weightStride;
        const int32_t rows = instance->interlaced ? maxDy / 2 + 1 : maxDy + 1;
        const int32_t header[2] = {rowLength, rows};
        std::fwrite(header, sizeof(header), 1, out);
        std::fwrite(instance->weights, sizeof(float), (size_t)rowLength * (size_t)rows, out);
    }

    void RunCase(const Case &c, const FilterFunctions &functions) {
        const Folder *folder = FindFolder(c.folder);
        const std::string base = output_ + sep_ + c.name;
        FILE *frames = std::fopen((base + ".frames").c_str(), "wb");
        FILE *weights = std::fopen((base + ".weights").c_str(), "wb");
        log_ = std::fopen((base + ".log").c_str(), "wb");
        if (!folder || !frames || !weights || !log_) {
            Fail(c.name, "cannot open the output files");
            if (frames) std::fclose(frames);
            if (weights) std::fclose(weights);
            if (log_) std::fclose(log_);
            log_ = nullptr;
            return;
        }
        const int32_t w = folder->width, h = folder->height;
        const ptrdiff_t pitch = (ptrdiff_t)w * 4 + kRowPadding;
        std::vector<uint8_t> srcBuffer((size_t)(pitch * h)), dstBuffer((size_t)(pitch * h));

        std::vector<uint8_t> data((size_t)definition_.inst_data_size, 0);
        RemovalInstance *instance = reinterpret_cast<RemovalInstance *>(data.data());
        FilterStateInfo state{};
        VFBitmap src{}, dst{};
        src.data = reinterpret_cast<uint32_t *>(srcBuffer.data());
        src.w = w;
        src.h = h;
        src.depth = 32;
        src.pitch = pitch;
        src.modulo = kRowPadding;
        src.size = pitch * h;
        FilterActivation activation{};
        activation.filter = &definition_;
        activation.filter_data = instance;
        activation.src = &src;
        activation.dst = &dst;
        activation.pfsi = &state;

        definition_.initProc(&activation, &functions);
        platform_.AnswerNextOpenFile(input_ + sep_ + folder->name + sep_ + "film.bms");
        Config(activation, c, "C:/from/the/script");
        if (!platform_.OpenFileAnswered()) Fail(c.name, "the open-file box was not shown");
        LogBoxes(c.name, 0);
        char line[1024] = "";
        if (!definition_.fssProc(&activation, &functions, line, sizeof(line))) Fail(c.name, "fssProc refused");
        Log(std::string("saved line: ") + line);
        char suffix[32] = "";
        definition_.stringProc(&activation, &functions, suffix);
        Log(std::string("title suffix:") + suffix);
        Log("subtitles: " + std::to_string(instance->subtitles.count));
        if (instance->subtitles.count != (int32_t)folder->subtitles.size())
            Fail(c.name, "the index gave " + std::to_string(instance->subtitles.count) + " subtitles");

        if (definition_.paramProc(&activation, &functions) != FILTERPARAM_SWAP_BUFFERS)
            Fail(c.name, "paramProc did not ask for separate buffers");
        dst.w = w;
        dst.h = h;
        dst.depth = 32;
        dst.size = dst.pitch * h;
        dst.data = reinterpret_cast<uint32_t *>(dstBuffer.data());
        if (dst.pitch != pitch || dst.modulo != kRowPadding) Fail(c.name, "paramProc gave another row layout");

        state.lCurrentSourceFrame = 0;
        definition_.startProc(&activation, &functions);
        // No subtitle covers frame 0, so the selection at start loads nothing and shows no box.
        const size_t failing = RunFrames(c, *folder, activation, functions, srcBuffer, dstBuffer, frames, weights);
        definition_.endProc(&activation, &functions);
        definition_.deinitProc(&activation, &functions);
        Log("failing graymaps reported: " + std::to_string(failing));
        std::fclose(frames);
        std::fclose(weights);
        std::fclose(log_);
        log_ = nullptr;
    }

    // The case's frames: the folder's in order, or for a sweep the first frame of the folder's
    // first subtitle once per value. Returns the number of failing-graymap boxes shown.
    size_t RunFrames(const Case &c, const Folder &folder, FilterActivation &activation,
                     const FilterFunctions &functions, std::vector<uint8_t> &srcBuffer,
                     std::vector<uint8_t> &dstBuffer, FILE *frames, FILE *weights) {
        RemovalInstance *instance = static_cast<RemovalInstance *>(activation.filter_data);
        FilterStateInfo &state = *activation.pfsi;
        const int32_t w = folder.width, h = folder.height;
        const ptrdiff_t pitch = (ptrdiff_t)w * 4 + kRowPadding;
        size_t failing = 0;
        int32_t previous = -1;
        for (int32_t k = 0; k < FrameCount(c, folder); ++k) {
            const int32_t n = c.sweep == SWEEP_NONE ? k : folder.subtitles[0].start;
            std::string where = std::string(c.name) + " frame " + std::to_string(k);
            if (c.sweep != SWEEP_NONE) where += SweepStep(c, k, instance);
            state.lCurrentSourceFrame = n;
            state.lCurrentFrame = n;
            std::memset(srcBuffer.data(), 0x5A, srcBuffer.size());
            for (int32_t y = 0; y < h; ++y)
                if (!ReadRow(FramePath(input_, sep_, folder, n), y, w, srcBuffer.data() + y * pitch))
                    Fail(where, "cannot read the source frame");
            std::memset(dstBuffer.data(), kUntouched, dstBuffer.size());
            if (definition_.runProc(&activation, &functions) != 0) Fail(where, "runProc did not return 0");
            std::fwrite(dstBuffer.data(), 1, dstBuffer.size(), frames);
            if (c.mode != 0) DumpWeights(instance, weights);

            const int32_t covering = Covering(folder, n);
            const bool changed = covering != previous;
            previous = covering;
            const bool good = covering >= 0 && folder.subtitles[(size_t)covering].state == GRAYMAP_GOOD;
            const size_t boxes = c.mode != 0 && changed && covering >= 0 && !good ? 1 : 0;
            failing += boxes;
            LogBoxes(where, boxes);
            CheckFrame(where, c, covering, good, srcBuffer, dstBuffer, w, h, pitch);
        }
        return failing;
    }

    // Value `k` of the swept setting, applied as the dialog applies a slider move: the field
    // written and a rebuild ordered, which the next frame's selection carries out.
    static std::string SweepStep(const Case &c, int32_t k, RemovalInstance *instance) {
        std::string what;
        if (c.sweep == SWEEP_POWER) {
            instance->power = kPowerRange[0] + k;
            what = " (power " + std::to_string(instance->power) + ")";
        } else {
            instance->pixelAspect = kPixelAspectRange[0] + k;
            what = " (pixel aspect " + std::to_string(instance->pixelAspect) + ")";
        }
        instance->rebuildPending = true;
        return what;
    }

    static int32_t Covering(const Folder &folder, int32_t n) {
        for (size_t i = 0; i < folder.subtitles.size(); ++i)
            if (folder.subtitles[i].start <= n && n <= folder.subtitles[i].end) return (int32_t)i;
        return -1;
    }

    bool ReadRow(const std::string &path, int32_t y, int32_t w, uint8_t *row) {
        if (path != framePath_) {
            framePath_ = path;
            frame_.clear();
            FILE *f = std::fopen(path.c_str(), "rb");
            if (!f) return false;
            std::fseek(f, 0, SEEK_END);
            frame_.resize((size_t)std::ftell(f));
            std::fseek(f, 0, SEEK_SET);
            const bool ok = std::fread(frame_.data(), 1, frame_.size(), f) == frame_.size();
            std::fclose(f);
            if (!ok) frame_.clear();
        }
        const size_t offset = (size_t)y * (size_t)w * 4;
        if (offset + (size_t)w * 4 > frame_.size()) return false;
        std::memcpy(row, frame_.data() + offset, (size_t)w * 4);
        return true;
    }

    // What holds on any platform, so that agreeing runs are also right ones.
    void CheckFrame(const std::string &where, const Case &c, int32_t covering, bool good,
                    const std::vector<uint8_t> &src, const std::vector<uint8_t> &dst, int32_t w, int32_t h,
                    ptrdiff_t pitch) {
        const bool same = std::memcmp(src.data(), dst.data(), src.size()) == 0;
        if (c.mode == 0 || (c.mode == 2 && !good)) {
            // Guards a pass-through that drops bytes (padding included) or repaints without a graymap.
            if (!same) Fail(where, "output differs from the source");
            return;
        }
        if (c.mode == 2) {
            // Guards a Final run that repaints nothing, or writes a top byte into a repainted pixel.
            if (same) Fail(where, "subtitle frame not repainted");
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x) {
                    uint32_t a, b;
                    std::memcpy(&a, src.data() + y * pitch + 4 * x, 4);
                    std::memcpy(&b, dst.data() + y * pitch + 4 * x, 4);
                    if (a != b && (b >> 24) != 0) {
                        Fail(where, "repainted pixel with a top byte");
                        return;
                    }
                }
            return;
        }
        if (covering >= 0 && good) {
            // Guards a mask view that shows no mask for a subtitle frame.
            size_t marks = 0;
            for (int32_t y = 0; y < h; ++y)
                for (int32_t x = 0; x < w; ++x) {
                    uint32_t v;
                    std::memcpy(&v, dst.data() + y * pitch + 4 * x, 4);
                    marks += v == 0x00FF0000u;
                }
            if (marks == 0) Fail(where, "mask view without mask pixels");
        }
    }

    Platform &platform_;
    FilterModuleInitProc init_;
    FilterModuleDeinitProc deinit_;
    std::string input_, output_;
    char sep_;
    FILE *log_ = nullptr;
    int failures_ = 0;
    std::string framePath_;
    std::vector<uint8_t> frame_;
};

}  // namespace frames
