// Fuzzes the graymap loader with any file bytes, frame size and placement: no access outside the
// plane, a result code 0..4, and a released plane after every failure.
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "subtitles/subtitles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ByteReader in{data, size};
    int32_t w = 1 + in.Byte() % 64;
    int32_t h = 1 + in.Byte() % 64;
    int32_t left = (int8_t)in.Byte();
    int32_t top = (int8_t)in.Byte();
    if (in.Byte() & 1) left = in.Int32();
    if (in.Byte() & 1) top = in.Int32();
    static std::string path = ScratchFolder() + "/image_0.pgm";
    if (!WriteFile(path, in.data, in.size)) return 0;
    SetMessageBoxHandler(SilentBox, nullptr);

    FuzzHost host(w, h);
    RemovalInstance &inst = host.instance;
    if (!PrepareMaskImage(&inst, &inst.graymap)) return 0;
    char modulePath[kPathCapacity];
    if (!LocalPathToModulePath(path.c_str(), modulePath, sizeof(modulePath))) return 0;
    std::strcpy(inst.graymap.path, modulePath);
    inst.maskLeft = left;
    inst.maskTop = top;
    int32_t result = LoadGraymap(&inst, true);
    if (result < 0 || result > 4) std::abort();
    if (result != 0) {
        if (inst.graymap.pixels || inst.graymap.width || inst.graymap.height) std::abort();
        return 0;
    }
    for (int32_t i = 0; i < w * h; ++i) {
        uint32_t v = inst.graymap.pixels[i];
        if (v != 0 && v != 0x00FF0000u) std::abort();
    }
    return 0;
}
