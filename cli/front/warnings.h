// Every warning of a run goes through here: each text is printed once however many threads or
// filter instances meet it, and under --strict a warning that means the film was not fully
// cleaned becomes the run's error instead.
#pragma once

#include <string>

enum class WarningKind {
    kNotCleaned,  // some frames may keep a subtitle or lose data: --strict refuses the film
    kNotice,      // worth knowing, the film is as clean as the index allows
};

// Under --strict the first kNotCleaned warning is kept, not printed, and ends the run.
void SetStrictWarnings(bool strict);
// Called before a warning is printed (main clears its progress line there).
void SetBeforeWarningHook(void (*hook)());
// `text` without the "subremove: warning: " prefix. Safe on any thread.
void Warn(WarningKind kind, const std::string &text);
// Throws HostError(EXIT_FAILURE_RUN) with the kept warning once --strict has one.
void ThrowIfStrictFailed();
