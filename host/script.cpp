// The settings as one line of the host's script language, the script function that reads that
// line back, and the title suffix that names the output mode in the host's filter list.
//
// The directory travels with forward slashes in the script (the host's quoting treats a
// backslash as an escape) and lives in the instance with backslashes.
#include "host/script.h"

#include <cstdio>
#include <cstring>

#include "host/instance.h"
#include "host/params.h"
#include "subtitles/subtitles.h"

namespace {

// Positions of the script function's arguments (declared as "0isiiiii").
enum ConfigArgument {
    ARG_MODE,
    ARG_DIRECTORY,
    ARG_DEPTH,
    ARG_POWER,
    ARG_INTERLACED,
    ARG_PIXEL_ASPECT,
    ARG_RADIUS,
};

}  // namespace

void UseBackslashes(char *text) {
    for (; *text; ++text)
        if (*text == '/') *text = '\\';
}

void UseForwardSlashes(char *text) {
    for (; *text; ++text)
        if (*text == '\\') *text = '/';
}

void Config(IScriptInterpreter *interpreter, void *data, CScriptValue *args, int) {
    FilterActivation *fa = static_cast<FilterActivation *>(data);
    // The index is read here, and the next frame selection goes through the stored activation.
    RememberActivation(fa);
    RemovalInstance *instance = InstanceOf(fa);

    instance->mode = args[ARG_MODE].u.i;
    // A longer argument keeps its first 259 characters: the field must stay terminated.
    const char *directory = (args[ARG_DIRECTORY].u.s && *args[ARG_DIRECTORY].u.s) ? *args[ARG_DIRECTORY].u.s : "";
    std::strncpy(instance->directory, directory, kPathCapacity);
    instance->directory[kPathCapacity - 1] = '\0';
    UseBackslashes(instance->directory);

    // Subtitles are not part of the line: the user is asked for the index on every run.
    ChooseSubtitleIndex(instance);

    instance->depth = args[ARG_DEPTH].u.i;
    instance->power = args[ARG_POWER].u.i;
    instance->interlaced = args[ARG_INTERLACED].u.i != 0;
    instance->pixelAspect = args[ARG_PIXEL_ASPECT].u.i;
    instance->radius = args[ARG_RADIUS].u.i;

    // Out-of-range values stay stored (the dialog brings them into range when it opens). The
    // host's ScriptError does not return, so it is the very last thing done.
    if (!ParameterInRange(PARAM_DEPTH, instance->depth) || !ParameterInRange(PARAM_POWER, instance->power) ||
        !ParameterInRange(PARAM_PIXEL_ASPECT, instance->pixelAspect) ||
        !ParameterInRange(PARAM_RADIUS, instance->radius))
        interpreter->ScriptError(SCRIPT_ERROR_ARGUMENT_RANGE);
}

bool fssProc(FilterActivation *fa, const FilterFunctions *, char *buffer, int length) {
    RemovalInstance *instance = InstanceOf(fa);
    // Converted in place: the instance keeps the forward slashes afterwards.
    UseForwardSlashes(instance->directory);
    if (!buffer || length <= 0) return false;
    const int written =
        std::snprintf(buffer, (size_t)length, "Config(%d, \"%s\", %d, %d, %d, %d, %d)", instance->mode,
                      instance->directory, instance->depth, instance->power, instance->interlaced ? 1 : 0,
                      instance->pixelAspect, instance->radius);
    // Terminated whatever the C library did with a line that does not fit.
    if (written < 0 || written >= length) {
        buffer[length - 1] = '\0';
        return false;
    }
    return true;
}

void stringProc(const FilterActivation *fa, const FilterFunctions *, char *buffer) {
    const char *suffix;
    switch (InstanceOf(fa)->mode) {
    case MODE_ORIGINAL:
        suffix = " (Original)";
        break;
    case MODE_MASK_ONLY:
        suffix = " (Mask only)";
        break;
    case MODE_FINAL:
        suffix = " (Final)";
        break;
    default:
        suffix = " (no function)";
        break;
    }
    std::strcpy(buffer, suffix);
}
