// The Windows user-interface types and calls the module uses. On Windows these are the
// system's own; elsewhere they come from our stand-in library (platform/linux), which plays
// the part of the Windows user-interface DLLs. Module code includes only this header, so the
// platform choice lives here and in the build, never in the module.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#else
#include "platform/linux/winapi.h"
#endif

#include <cstdio>

// Marks the module's entry points for export; the export list of the build keeps everything else
// private.
#if defined(_WIN32)
#define MODULE_EXPORT __declspec(dllexport)
#else
#define MODULE_EXPORT __attribute__((visibility("default")))
#endif

// Opens a file named by a path in the module's (Windows) form. On Windows this is fopen; the
// stand-in maps drive and backslash paths to the local file system first. Every file the module
// reads goes through here.
FILE *OpenModuleFile(const char *path, const char *mode);

// The C library's pow, computed the same whatever floating-point state the calling thread is in.
// (MinGW's pow works in x87 long double at the precision the thread's x87 control word selects;
// a host thread's 53-bit setting would change the weights the module builds from it.)
double PowAtFullPrecision(double base, double exponent);
