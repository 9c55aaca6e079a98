// Reading the index for subremove through the module's index parser.
#include "cli/plugin/index_summary.h"

#include <cstdio>

namespace {

// The parse fills a list of the module's own allocation, which is released however we leave.
struct ParsedList {
    SubtitleList list{};
    ~ParsedList() { ReleaseSubtitleList(&list); }
};

}  // namespace

IndexSummary ReadIndexSummary(const std::string &path) {
    IndexSummary summary;
    std::vector<char> chunk(1 << 16);
    FILE *file = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
    if (!file) return summary;
    ParsedList parsed;
    IndexParse parse;
    BeginIndexParse(&parse, &parsed.list);
    // Bounded as the module's reader is: the parse ends at the declared count (at once for a
    // count past the largest) and keeps nothing but the entries.
    bool wanted = true;
    while (wanted) {
        const size_t read = std::fread(chunk.data(), 1, chunk.size(), file);
        if (read == 0) break;
        wanted = ContinueIndexParse(&parse, chunk.data(), read);
    }
    EndIndexParse(&parse);
    std::fclose(file);

    summary.declared = parse.declared;
    const SubtitleList &list = parsed.list;
    for (int32_t i = 0; list.entries && i < list.count; ++i) {
        const SubtitleEntry &e = list.entries[i];
        const bool matches = e.startFrame <= e.endFrame;
        summary.entries.push_back({e.startFrame, e.endFrame, e.x, e.y, matches});
        if (matches) summary.ranges.emplace_back(e.startFrame, e.endFrame);
    }
    return summary;
}
