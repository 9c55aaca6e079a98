// File access of the Windows build: paths are already in the system's form.
#include <cstdio>

#include "platform/win32.h"

FILE *OpenModuleFile(const char *path, const char *mode) { return std::fopen(path, mode); }
