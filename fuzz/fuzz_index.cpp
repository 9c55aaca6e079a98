// Fuzzes the bitmap sequence index reader: any file bytes must give a list whose count is within
// the allocated entries, with no out-of-bounds access, hang or leak, and the byte parser that
// subremove uses must give the very list the module's file reader gives.
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "subtitles/index_parse.h"
#include "subtitles/subtitles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static std::string path = ScratchFolder() + "/index.bms";
    if (!WriteFile(path, data, size)) return 0;
    SetOpenFileHandler(AnswerWith, &path);
    SetMessageBoxHandler(SilentBox, nullptr);
    FuzzHost host(8, 8);
    ChooseSubtitleIndex(&host.instance);
    const SubtitleList &list = host.instance.subtitles;
    // A header may declare entries that never come: an array with count 0 is allowed.
    if (list.count < 0 || (list.count > 0 && list.entries == nullptr)) std::abort();
    if (host.instance.currentSubtitle != -1) std::abort();
    // Every stored entry is readable and lookups stay in the list.
    for (int32_t frame : {-1, 0, 1, 100, 1 << 30}) {
        int32_t i = FindSubtitleAtFrame(&list, frame);
        if (i < -1 || i >= list.count) std::abort();
        if (i >= 0 && (list.entries[i].startFrame > frame || list.entries[i].endFrame < frame)) std::abort();
    }
    SubtitleList parsed{};
    ParseSubtitleIndex(reinterpret_cast<const char *>(data), size, &parsed);
    if (parsed.count != list.count || (parsed.entries == nullptr) != (list.entries == nullptr)) std::abort();
    if (list.count > 0 && std::memcmp(parsed.entries, list.entries, (size_t)list.count * sizeof(SubtitleEntry)) != 0)
        std::abort();
    ReleaseSubtitleList(&parsed);
    return 0;
}
