// The bitmap sequence index reader: shows the open-file box, keeps the chosen file's folder as
// the graymap directory, and reads the file's tokens into the subtitle list.
//
// The file is a stream of white-space-separated tokens: a header token with the declared entry
// count, then one token per entry, "number,startFrame,endFrame,x,y". Every token takes the next
// position in the list, because the position names the entry's graymap file; a token that does
// not give all five numbers, or is longer than a token may be, takes its position as an entry
// that never matches a frame. Cost: one pass over the file; the entry array grows by doubling
// with the tokens actually read, up to the declared count.
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "host/instance.h"
#include "host/memory.h"
#include "host/params.h"
#include "platform/win32.h"
#include "subtitles/subtitles.h"
#include "subtitles/text.h"
#include "ui/resource.h"

// The record size the box is given: without the members Windows 2000 added. The product is the
// 32-bit module, where that is 76 bytes.
static_assert(sizeof(void *) != 4 || offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR) == 76,
              "OPENFILENAMEA without the Windows 2000 members is 76 bytes in 32-bit builds");

namespace {

constexpr int kTokenCapacity = 260;  // 259 characters and a zero
// The largest count a header may declare. A film of three hours at 60 frames per second has
// 648,000 frames, so no real index comes near it; a larger count is treated like one that cannot
// be allocated. At this count the entry array takes 16 MiB.
constexpr int32_t kMaxSubtitleEntries = 1 << 20;
// The entry array starts this small and doubles as tokens arrive, so a header that declares far
// more entries than the file holds costs no more memory than the entries really read.
constexpr int32_t kInitialEntryCapacity = 256;
// Stored for a token that does not give an entry: startFrame above endFrame never matches.
constexpr SubtitleEntry kUnmatchedEntry = {1, 0, 0, 0};

// Reads the next token: skips white space, stores at most kTokenCapacity - 1 characters and
// consumes the rest of a longer token, then skips the white space after it. False at the end of
// the file. *overLong tells that the token did not fit.
bool ReadToken(FILE *file, char *token, bool *overLong) {
    int c = std::getc(file);
    while (c != EOF && IsBlank(c)) c = std::getc(file);
    if (c == EOF) return false;
    int length = 0;
    *overLong = false;
    for (; c != EOF && !IsBlank(c); c = std::getc(file)) {
        if (length < kTokenCapacity - 1) {
            token[length++] = (char)c;
        } else {
            *overLong = true;
        }
    }
    token[length] = '\0';
    while (c != EOF && IsBlank(c)) c = std::getc(file);
    if (c != EOF) std::ungetc(c, file);
    return true;
}

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

// Reads the index at `path` into the (empty) list. Any failure leaves the list empty.
void ReadSubtitleIndex(const char *path, SubtitleList *list) {
    FILE *file = OpenModuleFile(path, "rb");
    if (!file) return;
    char token[kTokenCapacity];
    bool overLong = false;
    int32_t declared = 0;
    if (ReadToken(file, token, &overLong) && !ReadDecimal(token, token + std::strlen(token), &declared)) {
        declared = 0;  // a header that does not begin with a number leaves no room for entries
    }
    if (declared > 0 && declared <= kMaxSubtitleEntries) {
        int32_t capacity = declared < kInitialEntryCapacity ? declared : kInitialEntryCapacity;
        list->entries = static_cast<SubtitleEntry *>(AllocateArray((size_t)capacity, sizeof(SubtitleEntry)));
        // Entries past the declared count are not stored, so reading stops once it is reached.
        while (list->entries && list->count < declared && ReadToken(file, token, &overLong)) {
            if (!GrowEntries(list, &capacity, declared)) {
                ReleaseSubtitleList(list);
                break;
            }
            list->entries[list->count++] = ParseEntry(token, overLong);
        }
    }
    std::fclose(file);
}

}  // namespace

void ChooseSubtitleIndex(RemovalInstance *instance) {
    ReleaseSubtitleList(&instance->subtitles);

    char path[kPathCapacity] = "";
    OPENFILENAMEA box;
    std::memset(&box, 0, sizeof(box));
    box.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    box.hwndOwner = instance->dialog;
    box.lpstrFilter = "Bitmap sequences (*.bms)\0*.bms\0";  // the literal's own zero ends the list
    box.nFilterIndex = 1;
    box.lpstrFile = path;
    box.nMaxFile = kPathCapacity;
    box.lpstrTitle = "Open bitmap sequence";
    box.Flags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    box.lpstrDefExt = "bms";

    if (GetOpenFileNameA(&box)) {
        path[kPathCapacity - 1] = '\0';
        // The folder is the path up to its last backslash; without one (or with only a leading
        // one) there is no folder.
        int lastBackslash = 0;
        for (int i = 0; path[i] != '\0'; ++i) {
            instance->directory[i] = path[i];
            if (path[i] == '\\') lastBackslash = i;
        }
        instance->directory[lastBackslash] = '\0';
        ReadSubtitleIndex(path, &instance->subtitles);
    }

    instance->currentSubtitle = -1;
    UpdateModeButtons(instance);
}

void UpdateModeButtons(RemovalInstance *instance) {
    HWND dialog = instance->dialog;
    if (!dialog) return;
    const bool haveSubtitles = instance->subtitles.count > 0;
    const struct {
        int id;
        bool enable;
    } buttons[] = {{IDC_MODE_ORIGINAL, true}, {IDC_MODE_MASK, haveSubtitles}, {IDC_MODE_FINAL, haveSubtitles}};
    for (const auto &button : buttons) {
        if (!button.enable && IsDlgButtonChecked(dialog, button.id) == BST_CHECKED) {
            CheckDlgButton(dialog, IDC_MODE_ORIGINAL, BST_CHECKED);
            CheckDlgButton(dialog, button.id, BST_UNCHECKED);
            instance->mode = MODE_ORIGINAL;
        }
        EnableWindow(GetDlgItem(dialog, button.id), button.enable ? TRUE : FALSE);
    }
}
