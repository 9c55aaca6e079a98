// The one place warnings are printed, deduplicated and turned into errors under --strict.
#include "cli/front/warnings.h"

#include <cstdio>
#include <mutex>
#include <set>

#include "cli/errors.h"

namespace {

// Warnings come from the reader, the filter workers (the module's message boxes) and the
// encoders alike.
std::mutex g_mutex;
std::set<std::string> g_printed;
bool g_strict = false;
std::string g_strictFailure;
void (*g_beforeWarning)() = nullptr;

}  // namespace

void SetStrictWarnings(bool strict) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_strict = strict;
}

void SetBeforeWarningHook(void (*hook)()) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_beforeWarning = hook;
}

void Warn(WarningKind kind, const std::string &text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_strict && kind == WarningKind::kNotCleaned) {
        if (g_strictFailure.empty()) g_strictFailure = text;
        return;
    }
    // Each filter instance loads its own copy of a subtitle's graymap, so one bad file would
    // otherwise be reported once per worker.
    if (!g_printed.insert(text).second) return;
    if (g_beforeWarning) g_beforeWarning();
    std::fprintf(stderr, "subremove: warning: %s\n", text.c_str());
}

void ThrowIfStrictFailed() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_strictFailure.empty()) throw HostError(EXIT_FAILURE_RUN, g_strictFailure + " (--strict)");
}
