// Parsing of a bitmap sequence index from the file's bytes, shared by the module's index reader
// and by subremove, which plans its run from the same entries. No file or window access here: the
// caller reads the file and hands its bytes over in pieces of any size, so that memory stays
// bounded by the entries, whatever the file's length.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/instance.h"

// A token holds at most 259 characters; a longer one is cut there and matches no frame.
constexpr int kIndexTokenCapacity = 260;
// The largest count a header may declare. A film of three hours at 60 frames per second has
// 648,000 frames, so no real index comes near it; a larger count is treated like one that cannot
// be allocated. At this count the entry array takes 16 MiB.
constexpr int32_t kMaxSubtitleEntries = 1 << 20;

// One parse in progress. `list` must be empty when it begins.
struct IndexParse {
    SubtitleList *list;
    int32_t declared;     // the header's count, saturated to int32; 0 without a header number
    int32_t capacity;     // entries allocated in `list`
    bool headerRead;
    bool finished;        // no later byte can change the list
    bool inToken;
    bool overLong;        // the token in progress did not fit
    int32_t tokenLength;
    char token[kIndexTokenCapacity];
};

void BeginIndexParse(IndexParse *parse, SubtitleList *list);
// Takes the next `size` bytes of the file. False once no later byte can change the list, so the
// caller may stop reading.
bool ContinueIndexParse(IndexParse *parse, const char *bytes, size_t size);
// The end of the file, which also ends a token in progress.
void EndIndexParse(IndexParse *parse);

// The whole file at once: fills the (empty) list as the module's reader would and returns the
// declared count.
int32_t ParseSubtitleIndex(const char *bytes, size_t size, SubtitleList *list);
