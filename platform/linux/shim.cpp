// Message box, open-file box and file access of the stand-in Windows layer.
// Paths cross between the module's Windows form and local form only here.
#include "platform/linux/shim.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win32.h"

namespace {
MessageBoxHandler g_messageBoxHandler = nullptr;
void *g_messageBoxContext = nullptr;
OpenFileHandler g_openFileHandler = nullptr;
void *g_openFileContext = nullptr;

bool HasDriveLetter(const char *path) {
    return ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) && path[1] == ':';
}
}  // namespace

extern "C" {

void SetMessageBoxHandler(MessageBoxHandler handler, void *context) {
    g_messageBoxHandler = handler;
    g_messageBoxContext = context;
}

void SetOpenFileHandler(OpenFileHandler handler, void *context) {
    g_openFileHandler = handler;
    g_openFileContext = context;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    if (g_messageBoxHandler) return g_messageBoxHandler(g_messageBoxContext, owner, text, caption, style);
    std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
    return IDOK;
}

bool LocalPathToModulePath(const char *localPath, char *out, size_t capacity) {
    if (!localPath || !out || capacity == 0) return false;
    char absolute[PATH_MAX * 2];
    if (localPath[0] == '/') {
        if (std::strlen(localPath) >= sizeof(absolute)) return false;
        std::strcpy(absolute, localPath);
    } else {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof(cwd))) return false;
        int n = std::snprintf(absolute, sizeof(absolute), "%s/%s", cwd, localPath);
        if (n < 0 || (size_t)n >= sizeof(absolute)) return false;
    }
    size_t length = std::strlen(absolute);
    if (length + 3 > capacity) return false;
    out[0] = 'Z';
    out[1] = ':';
    for (size_t i = 0; i <= length; ++i) out[2 + i] = absolute[i] == '/' ? '\\' : absolute[i];
    return true;
}

bool ModulePathToLocalPath(const char *modulePath, char *out, size_t capacity) {
    if (!modulePath || !out || capacity == 0) return false;
    const char *p = modulePath;
    if ((p[0] == 'Z' || p[0] == 'z') && p[1] == ':') p += 2;
    size_t length = std::strlen(p);
    if (length + 1 > capacity) return false;
    for (size_t i = 0; i <= length; ++i) out[i] = p[i] == '\\' ? '/' : p[i];
    return true;
}

BOOL GetOpenFileNameA(LPOPENFILENAMEA ofn) {
    if (!ofn || !g_openFileHandler) return FALSE;
    if (ofn->lStructSize != OPENFILENAME_SIZE_VERSION_400A && ofn->lStructSize != sizeof(OPENFILENAMEA)) return FALSE;
    const char *chosen = g_openFileHandler(g_openFileContext, ofn);
    if (!chosen || !ofn->lpstrFile || ofn->nMaxFile == 0) return FALSE;
    // A path that does not fit the module's buffer fails the box, as on Windows.
    if (HasDriveLetter(chosen)) {
        size_t length = std::strlen(chosen);
        if (length >= ofn->nMaxFile) return FALSE;
        std::memcpy(ofn->lpstrFile, chosen, length + 1);
        return TRUE;
    }
    return LocalPathToModulePath(chosen, ofn->lpstrFile, ofn->nMaxFile) ? TRUE : FALSE;
}

}  // extern "C"

FILE *OpenModuleFile(const char *path, const char *mode) {
    if (!path) return nullptr;
    char local[PATH_MAX * 2];
    if (!ModulePathToLocalPath(path, local, sizeof(local))) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    FILE *file = std::fopen(local, mode);
    // Linux opens a directory for reading where Windows refuses: refuse it here too, so that a
    // folder named like a graymap is "not found" on both.
    struct stat status;
    if (file && fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}
