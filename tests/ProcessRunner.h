#pragma once

#include <string>

namespace TestSupport
{
struct ProcessResult
{
    // The exit status; 124 when the command was killed for taking too long.
    int exitCode = -1;
    // Standard output and standard error together.
    std::string output;
};

// Runs a shell command under timeout(1), so that it ends by itself, and
// waits for it.
ProcessResult runCommand(const std::string& command, int timeoutSeconds = 20);
}
