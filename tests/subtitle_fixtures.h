// Test helpers for the subtitle data: a temporary folder for index and graymap files written by
// the tests themselves, and recorders for the message box and the open-file box.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/shim.h"

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "subtitles_XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        const char *made = mkdtemp(buffer.data());
        if (made) path_ = made;
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::string &path() const { return path_; }
    std::string File(const std::string &name) const { return path_ + "/" + name; }
    // Writes `bytes` exactly as given and returns the file's local path.
    std::string Write(const std::string &name, const std::string &bytes) const {
        std::string file = File(name);
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), (std::streamsize)bytes.size());
        return file;
    }

private:
    std::string path_;
};

// The module's (Windows) form of a local path.
inline std::string ModuleForm(const std::string &local) {
    char out[4096];
    if (!LocalPathToModulePath(local.c_str(), out, sizeof(out))) return std::string();
    return out;
}

// A raw graymap: the usual two header lines, then the raster bytes as given.
inline std::string Pgm(int width, int height, const std::string &raster, int maximum = 255) {
    return "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n" + std::to_string(maximum) + "\n" +
           raster;
}

struct RecordedBox {
    HWND owner;
    std::string text;
    std::string caption;
    UINT style;
};

// Records every message box while it lives, and answers OK.
class MessageBoxRecorder {
public:
    MessageBoxRecorder() { SetMessageBoxHandler(&MessageBoxRecorder::Record, this); }
    ~MessageBoxRecorder() { SetMessageBoxHandler(nullptr, nullptr); }
    std::vector<RecordedBox> boxes;

private:
    static int Record(void *context, HWND owner, const char *text, const char *caption, UINT style) {
        static_cast<MessageBoxRecorder *>(context)->boxes.push_back({owner, text ? text : "<null>", caption ? caption : "<null>", style});
        return IDOK;
    }
};

// Answers the open-file box with `answer` (a local path, a Windows-form path, or cancel) and keeps
// a copy of the record the module passed, with the texts it pointed at.
class OpenFileAnswer {
public:
    OpenFileAnswer() { SetOpenFileHandler(&OpenFileAnswer::Answer, this); }
    ~OpenFileAnswer() { SetOpenFileHandler(nullptr, nullptr); }
    void Choose(const std::string &path) {
        answer_ = path;
        cancel_ = false;
    }
    void Cancel() { cancel_ = true; }

    int calls = 0;
    OPENFILENAMEA record{};
    std::string filter;      // the filter list up to and including its double zero
    std::string fileOnEntry;  // the file buffer's text when the box opened
    std::string title;
    std::string defaultExtension;

private:
    static const char *Answer(void *context, const OPENFILENAMEA *ofn) {
        auto *self = static_cast<OpenFileAnswer *>(context);
        ++self->calls;
        self->record = *ofn;
        self->filter.clear();
        if (ofn->lpstrFilter) {
            const char *p = ofn->lpstrFilter;
            while (p[0] != '\0' || p[1] != '\0') ++p;
            self->filter.assign(ofn->lpstrFilter, (size_t)(p - ofn->lpstrFilter) + 2);
        }
        self->fileOnEntry = ofn->lpstrFile ? ofn->lpstrFile : "<null>";
        self->title = ofn->lpstrTitle ? ofn->lpstrTitle : "<null>";
        self->defaultExtension = ofn->lpstrDefExt ? ofn->lpstrDefExt : "<null>";
        return self->cancel_ ? nullptr : self->answer_.c_str();
    }
    std::string answer_;
    bool cancel_ = true;
};
