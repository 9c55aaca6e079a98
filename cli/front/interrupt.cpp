// The signal handlers and the watch of interrupt.h.
#include "cli/front/interrupt.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "cli/errors.h"

namespace {

// Lock-free, so the handler may touch it.
std::atomic<int> g_signal{0};
// Written by the handler, read by watches; non-blocking on both ends.
int g_pipe[2] = {-1, -1};

void OnSignal(int signal) {
    const int saved = errno;
    int none = 0;
    g_signal.compare_exchange_strong(none, signal);
    if (g_pipe[1] >= 0) {
        const char byte = 1;
        (void)!write(g_pipe[1], &byte, 1);
    }
    errno = saved;
}

const char *SignalName(int signal) {
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

}  // namespace

void InstallInterruptHandlers() {
    if (g_pipe[0] < 0 && pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw HostError(EXIT_FAILURE_RUN, "cannot prepare for interruptions: " + std::string(std::strerror(errno)));
    }
    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // Restarted calls: FFmpeg's reads and writes must not fail on the signal's account; the run
    // stops where it checks.
    action.sa_flags = SA_RESTART;
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
}

int InterruptSignal() { return g_signal.load(); }

void ThrowIfInterrupted() {
    const int signal = g_signal.load();
    if (signal == 0) return;
    throw HostError(128 + signal, std::string("interrupted by ") + SignalName(signal) + ": nothing was written");
}

InterruptWatch::InterruptWatch(std::function<void()> onInterrupt) {
    if (pipe2(stop_, O_CLOEXEC) != 0) {
        throw HostError(EXIT_FAILURE_RUN, "cannot prepare for interruptions: " + std::string(std::strerror(errno)));
    }
    thread_ = std::thread([this, onInterrupt = std::move(onInterrupt)] {
        pollfd fds[2] = {{stop_[0], POLLIN, 0}, {g_pipe[0], POLLIN, 0}};
        // Without handlers there is nothing to watch but the stop.
        const nfds_t count = g_pipe[0] >= 0 ? 2 : 1;
        while (g_signal.load() == 0) {
            if (poll(fds, count, -1) < 0 && errno != EINTR) return;
            if (fds[0].revents) return;
        }
        onInterrupt();
    });
}

InterruptWatch::~InterruptWatch() {
    const char byte = 1;
    (void)!write(stop_[1], &byte, 1);
    if (thread_.joinable()) thread_.join();
    close(stop_[0]);
    close(stop_[1]);
}
