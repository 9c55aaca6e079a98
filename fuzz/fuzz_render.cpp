// Fuzzes a whole build and render: a random small graymap written as a file, a random index entry
// and random settings (out-of-range ones included, as scripts can store them), then the Final and
// MaskOnly renders. Checks the invariants the repaint relies on: no region pixel is a sample, the
// work mask holds only its three final values, every pixel outside the regions equals the source,
// and repainted pixels have a zero top byte.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/render.h"
#include "fuzz/fuzz_support.h"
#include "host/params.h"
#include "subtitles/subtitles.h"

namespace {
int32_t Setting(ByteReader &in, ParameterId id) {
    uint8_t b = in.Byte();
    if (b == 255) return in.Int32();  // rare: anything a script line could store
    const ParameterInfo &p = kParameters[id];
    return p.minimum + (int32_t)(b % (uint32_t)(p.maximum - p.minimum + 1));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ByteReader in{data, size};
    int32_t w = 1 + in.Byte() % 40;
    int32_t h = 1 + in.Byte() % 40;
    int32_t gw = 1 + in.Byte() % 24;
    int32_t gh = 1 + in.Byte() % 24;
    int32_t left = (int32_t)(in.Byte() % 48) - 4;
    int32_t top = (int32_t)(in.Byte() % 48) - 4;
    uint32_t seed = (uint32_t)in.Int32();

    FuzzHost host(w, h);
    RemovalInstance &inst = host.instance;
    inst.radius = Setting(in, PARAM_RADIUS);
    inst.depth = Setting(in, PARAM_DEPTH);
    inst.power = Setting(in, PARAM_POWER);
    inst.pixelAspect = Setting(in, PARAM_PIXEL_ASPECT);
    inst.interlaced = in.Byte() & 1;

    // The graymap: a P5 file whose samples come from the input, sparse or dense.
    std::string pgm = "P5\n" + std::to_string(gw) + " " + std::to_string(gh) + "\n255\n";
    uint8_t density = in.Byte();
    for (int32_t i = 0; i < gw * gh; ++i) pgm.push_back((char)(in.Byte() < density ? 255 : 0));
    const std::string &folder = ScratchFolder();
    if (!WriteFile(folder + "/image_0.pgm", (const uint8_t *)pgm.data(), pgm.size())) return 0;
    std::string index = "1\n1,0,5," + std::to_string(left) + "," + std::to_string(top) + "\n";
    static std::string indexPath = folder + "/index.bms";
    if (!WriteFile(indexPath, (const uint8_t *)index.data(), index.size())) return 0;
    SetOpenFileHandler(AnswerWith, &indexPath);
    SetMessageBoxHandler(SilentBox, nullptr);
    ChooseSubtitleIndex(&inst);

    for (uint32_t &p : host.srcPixels) {
        seed = seed * 1664525u + 1013904223u;
        p = seed;
    }
    inst.mode = MODE_FINAL;
    host.state.lCurrentSourceFrame = 2;
    RenderFrame(&host.activation, nullptr);

    std::vector<uint8_t> inRegion((size_t)w * h, 0);
    const RegionList &regions = inst.regions;
    if ((regions.count == 0) != (regions.items == nullptr)) std::abort();
    for (int32_t r = 0; r < regions.count; ++r) {
        const Region &region = regions.items[r];
        for (int32_t i = 0; i < region.pixelCount; ++i) {
            const RegionPixel &p = region.pixels[i];
            if (p.x < 0 || p.x >= w || p.y < 0 || p.y >= h) std::abort();
            if (inst.workMask.pixels[p.y * w + p.x] != MASK_SET) std::abort();
            inRegion[(size_t)p.y * w + p.x] = 1;
            if (region.sampleCount > 0 && (host.dstPixels[(size_t)p.y * w + p.x] >> 24) != 0) std::abort();
        }
        for (int32_t i = 0; i < region.sampleCount; ++i) {
            const BorderSample &s = region.samples[i];
            if (s.x < 0 || s.x >= w || s.y < 0 || s.y >= h) std::abort();
            if (inst.workMask.pixels[s.y * w + s.x] != SAMPLE_TAKEN) std::abort();
        }
    }
    if (inst.workMask.pixels && inst.workMask.width == w && inst.workMask.height == h) {
        for (int32_t i = 0; i < w * h; ++i) {
            uint32_t v = inst.workMask.pixels[i];
            if (v != 0 && v != MASK_SET && v != SAMPLE_TAKEN) std::abort();
        }
    }
    for (size_t i = 0; i < host.dstPixels.size(); ++i)
        if (!inRegion[i] && host.dstPixels[i] != host.srcPixels[i]) std::abort();

    // The mask view of the same build shows the work mask row for row.
    inst.mode = MODE_MASK_ONLY;
    RenderFrame(&host.activation, nullptr);
    if (inst.workMask.pixels && inst.workMask.width == w && inst.workMask.height == h &&
        std::memcmp(host.dstPixels.data(), inst.workMask.pixels, (size_t)w * h * 4) != 0)
        std::abort();
    return 0;
}
