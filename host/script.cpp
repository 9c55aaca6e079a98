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

// The directory argument: a longer one keeps its first 259 characters, so the field stays
// terminated. Subtitles are not part of the line: the user is asked for the index on every run.
void TakeDirectory(RemovalInstance *instance, const CScriptValue &argument) {
    const char *directory = (argument.u.s && *argument.u.s) ? *argument.u.s : "";
    std::strncpy(instance->directory, directory, kPathCapacity);
    instance->directory[kPathCapacity - 1] = '\0';
    UseBackslashes(instance->directory);
    ChooseSubtitleIndex(instance);
}

bool ScriptValuesInRange(const RemovalInstance *instance) {
    for (int id = 0; id < PARAM_COUNT; ++id) {
        if (kParameters[id].scriptRange == SCRIPT_RANGE_TESTED &&
            !ParameterInRange((ParameterId)id, ReadParameter(instance, (ParameterId)id)))
            return false;
    }
    return true;
}

// Writes the line piece by piece into the host's buffer exactly as one snprintf of the whole line
// would: what does not fit is cut off, the buffer stays terminated, and `length` counts the
// whole line.
struct LineWriter {
    char *buffer;
    int capacity;
    long length;
};

void Append(LineWriter *line, const char *text) {
    const long size = (long)std::strlen(text);
    const long at = line->length < line->capacity - 1 ? line->length : line->capacity - 1;
    const long fits = size < line->capacity - 1 - at ? size : line->capacity - 1 - at;
    std::memcpy(line->buffer + at, text, (size_t)fits);
    line->buffer[at + fits] = '\0';
    line->length += size;
}

void AppendNumber(LineWriter *line, int32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%d", (int)value);
    Append(line, text);
}

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

    // In the line's order. The mode comes before the index is read, which may move a checked
    // mode button, and with it the mode, back to Original.
    for (int position = 0; position < kScriptArgumentCount; ++position) {
        if (position == kScriptDirectoryArgument) {
            TakeDirectory(instance, args[position]);
        } else {
            WriteParameter(instance, ParameterAtScriptArgument(position), args[position].u.i);
        }
    }

    // Out-of-range values stay stored (the dialog brings them into range when it opens). The
    // host's ScriptError does not return, so it is the very last thing done.
    if (!ScriptValuesInRange(instance)) interpreter->ScriptError(SCRIPT_ERROR_ARGUMENT_RANGE);
}

bool fssProc(FilterActivation *fa, const FilterFunctions *, char *buffer, int length) {
    RemovalInstance *instance = InstanceOf(fa);
    // Converted in place: the instance keeps the forward slashes afterwards.
    UseForwardSlashes(instance->directory);
    if (!buffer || length <= 0) return false;
    LineWriter line = {buffer, length, 0};
    Append(&line, "Config(");
    for (int position = 0; position < kScriptArgumentCount; ++position) {
        if (position > 0) Append(&line, ", ");
        if (position == kScriptDirectoryArgument) {
            Append(&line, "\"");
            Append(&line, instance->directory);
            Append(&line, "\"");
        } else {
            AppendNumber(&line, ReadParameter(instance, ParameterAtScriptArgument(position)));
        }
    }
    Append(&line, ")");
    return line.length < length;
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
