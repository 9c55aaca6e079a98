// The bitmap sequence index reader: shows the open-file box, keeps the chosen file's folder as
// the graymap directory, and reads the file's bytes into the subtitle list through the index
// parser (subtitles/index_parse.h), which says what the tokens mean.
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "host/instance.h"
#include "host/params.h"
#include "platform/win32.h"
#include "subtitles/index_parse.h"
#include "subtitles/subtitles.h"
#include "ui/resource.h"

// The record size the box is given: without the members Windows 2000 added. The product is the
// 32-bit module, where that is 76 bytes.
static_assert(sizeof(void *) != 4 || offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR) == 76,
              "OPENFILENAMEA without the Windows 2000 members is 76 bytes in 32-bit builds");

namespace {

// Bytes read from the file at a time: few calls per index, and little enough for the stack of
// any host thread.
constexpr size_t kReadChunk = 4096;

// Reads the index at `path` into the (empty) list, no further than the parser needs. Any failure
// leaves the list empty.
void ReadSubtitleIndex(const char *path, SubtitleList *list) {
    FILE *file = OpenModuleFile(path, "rb");
    if (!file) return;
    IndexParse parse;
    BeginIndexParse(&parse, list);
    char chunk[kReadChunk];
    bool wanted = true;
    while (wanted) {
        const size_t read = std::fread(chunk, 1, sizeof(chunk), file);
        if (read == 0) break;
        wanted = ContinueIndexParse(&parse, chunk, read);
    }
    EndIndexParse(&parse);
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
