// The one way subremove fails: a message for standard error and the process exit status.
#pragma once

#include <stdexcept>
#include <string>

enum ExitStatus { EXIT_OK = 0, EXIT_FAILURE_RUN = 1, EXIT_USAGE = 2 };

struct HostError : std::runtime_error {
    int status;
    HostError(int exitStatus, const std::string &message) : std::runtime_error(message), status(exitStatus) {}
};
