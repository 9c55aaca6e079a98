// Controls of the stand-in Windows layer for hosts and tests on Linux: they answer the boxes
// the module shows and translate between the module's Windows-form paths and local paths.
#pragma once

#include <cstddef>

#include "platform/linux/winapi.h"

extern "C" {

// Receives every MessageBoxA call. The result is what MessageBoxA returns. Without a handler the
// box is written to standard error as "caption: text" and answered with IDOK.
typedef int (*MessageBoxHandler)(void *context, HWND owner, const char *text, const char *caption, UINT style);
void SetMessageBoxHandler(MessageBoxHandler handler, void *context);

// Answers GetOpenFileNameA. The handler sees the module's record and returns the chosen file as a
// local path, or null to cancel. The stand-in gives the module that path in Windows form
// (/data/x.bms becomes Z:\data\x.bms, as Wine does). A returned path that already starts with a
// drive letter and a colon (D:\film.bms) is given to the module as it is. Without a handler the
// box is cancelled. As on Windows, the box fails (returns FALSE) for a record whose lStructSize is
// neither OPENFILENAME_SIZE_VERSION_400A nor the full size, and for a path that does not fit the
// record's buffer.
typedef const char *(*OpenFileHandler)(void *context, const OPENFILENAMEA *ofn);
void SetOpenFileHandler(OpenFileHandler handler, void *context);

// Local path -> Windows form: made absolute, prefixed with Z:, separators turned into backslashes.
// False when the result does not fit `capacity` bytes with its terminating zero.
bool LocalPathToModulePath(const char *localPath, char *out, size_t capacity);
// Windows form -> local path: a leading Z: is dropped and every backslash becomes a slash, so
// Z:\data\x.bms, Z:/data/x.bms and /data/x.bms all name /data/x.bms. Other drive letters have no
// local meaning and are kept (the path then names nothing that exists).
bool ModulePathToLocalPath(const char *modulePath, char *out, size_t capacity);
}
