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
// (/data/x.bms becomes Z:\data\x.bms, as Wine does). Without a handler the box is cancelled.
typedef const char *(*OpenFileHandler)(void *context, const OPENFILENAMEA *ofn);
void SetOpenFileHandler(OpenFileHandler handler, void *context);

// Local path -> Windows form: made absolute, prefixed with Z:, separators turned into backslashes.
// False when the result does not fit `capacity` bytes with its terminating zero.
bool LocalPathToModulePath(const char *localPath, char *out, size_t capacity);
// Windows form -> local path: a leading Z: is dropped and every backslash becomes a slash.
bool ModulePathToLocalPath(const char *modulePath, char *out, size_t capacity);
}
