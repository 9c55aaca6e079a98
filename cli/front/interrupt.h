// Stopping a run on SIGINT, SIGTERM or SIGHUP. The handler only records the first signal and
// writes a byte to a pipe; the run notices it where it is safe to stop (the reader between
// frames, the encoder flush) or, through a Watch, wakes every waiting thread at once.
#pragma once

#include <functional>
#include <thread>

// Installs the handlers; until then the signals keep their default action.
void InstallInterruptHandlers();

// The first signal received, or 0.
int InterruptSignal();

// Throws HostError(128 + signal) saying the run was interrupted when a signal was received.
void ThrowIfInterrupted();

// Calls `onInterrupt` once, on a thread of its own, when a signal arrives while the Watch lives
// (at once when one already has).
class InterruptWatch {
public:
    explicit InterruptWatch(std::function<void()> onInterrupt);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch &) = delete;
    InterruptWatch &operator=(const InterruptWatch &) = delete;

private:
    int stop_[2] = {-1, -1};
    std::thread thread_;
};
