// The bitmap sequence index parser.
//
// The file is a stream of white-space-separated tokens: a header token with the declared entry
// count, then one token per entry, "number,startFrame,endFrame,x,y". Every token takes the next
// position in the list, because the position names the entry's graymap file; a token that does
// not give all five numbers, or is longer than a token may be, takes its position as an entry
// that never matches a frame. Tokens past the declared count are not read. Cost: one pass over
// the bytes; the entry array grows by doubling with the tokens actually read, up to the declared
// count.
#include "subtitles/index_parse.h"

#include <cstring>

#include "host/memory.h"
#include "subtitles/text.h"

namespace {

// The entry array starts this small and doubles as tokens arrive, so a header that declares far
// more entries than the file holds costs no more memory than the entries really read.
constexpr int32_t kInitialEntryCapacity = 256;
// Stored for a token that does not give an entry: startFrame above endFrame never matches.
constexpr SubtitleEntry kUnmatchedEntry = {1, 0, 0, 0};

// "number,startFrame,endFrame,x,y" with nothing between the numbers but single commas;
// characters after the fifth number are ignored. The first number is dropped.
SubtitleEntry ParseEntry(const char *token, bool overLong) {
    if (overLong) return kUnmatchedEntry;
    const char *end = token + std::strlen(token);
    int32_t fields[5];
    const char *p = token;
    for (int i = 0; i < 5; ++i) {
        if (i > 0) {
            if (p >= end || *p != ',') return kUnmatchedEntry;
            ++p;
        }
        // "%d" would skip white space here; a token holds none, so this reads the same.
        p = ReadDecimal(p, end, &fields[i]);
        if (!p) return kUnmatchedEntry;
    }
    return SubtitleEntry{fields[1], fields[2], fields[3], fields[4]};
}

// Makes room for one more entry, doubling the array up to `declared`. False when memory ran out.
bool GrowEntries(SubtitleList *list, int32_t *capacity, int32_t declared) {
    if (list->count < *capacity) return true;
    int32_t grown = *capacity > declared / 2 ? declared : *capacity * 2;
    auto *entries = static_cast<SubtitleEntry *>(AllocateArray((size_t)grown, sizeof(SubtitleEntry)));
    if (!entries) return false;
    if (list->count > 0) std::memcpy(entries, list->entries, (size_t)list->count * sizeof(SubtitleEntry));
    FreeMemory(list->entries);
    list->entries = entries;
    *capacity = grown;
    return true;
}

// The header's count sizes the first entry array. A header that does not begin with a number, or
// declares no entries or too many, leaves no room for entries and ends the parse.
void TakeHeader(IndexParse *parse) {
    parse->headerRead = true;
    if (!ReadDecimal(parse->token, parse->token + std::strlen(parse->token), &parse->declared)) parse->declared = 0;
    if (parse->declared <= 0 || parse->declared > kMaxSubtitleEntries) {
        parse->finished = true;
        return;
    }
    parse->capacity = parse->declared < kInitialEntryCapacity ? parse->declared : kInitialEntryCapacity;
    parse->list->entries = static_cast<SubtitleEntry *>(AllocateArray((size_t)parse->capacity, sizeof(SubtitleEntry)));
    if (!parse->list->entries) parse->finished = true;
}

// A failed allocation leaves an empty list, which every consumer treats as nothing to do.
void TakeEntry(IndexParse *parse) {
    SubtitleList *list = parse->list;
    if (!GrowEntries(list, &parse->capacity, parse->declared)) {
        ReleaseSubtitleList(list);
        parse->finished = true;
        return;
    }
    list->entries[list->count++] = ParseEntry(parse->token, parse->overLong);
    if (list->count >= parse->declared) parse->finished = true;
}

void EndToken(IndexParse *parse) {
    parse->inToken = false;
    parse->token[parse->tokenLength] = '\0';
    if (parse->headerRead) {
        TakeEntry(parse);
    } else {
        TakeHeader(parse);
    }
}

}  // namespace

void ReleaseSubtitleList(SubtitleList *list) {
    FreeMemory(list->entries);
    list->entries = nullptr;
    list->count = 0;
}

void BeginIndexParse(IndexParse *parse, SubtitleList *list) {
    *parse = IndexParse{};
    parse->list = list;
}

bool ContinueIndexParse(IndexParse *parse, const char *bytes, size_t size) {
    for (size_t i = 0; i < size && !parse->finished; ++i) {
        const unsigned char c = (unsigned char)bytes[i];
        if (IsBlank(c)) {
            if (parse->inToken) EndToken(parse);
        } else if (!parse->inToken) {
            parse->inToken = true;
            parse->overLong = false;
            parse->token[0] = (char)c;
            parse->tokenLength = 1;
        } else if (parse->tokenLength < kIndexTokenCapacity - 1) {
            parse->token[parse->tokenLength++] = (char)c;
        } else {
            parse->overLong = true;
        }
    }
    return !parse->finished;
}

void EndIndexParse(IndexParse *parse) {
    if (!parse->finished && parse->inToken) EndToken(parse);
    parse->finished = true;
}

int32_t ParseSubtitleIndex(const char *bytes, size_t size, SubtitleList *list) {
    IndexParse parse;
    BeginIndexParse(&parse, list);
    ContinueIndexParse(&parse, bytes, size);
    EndIndexParse(&parse);
    return parse.declared;
}
