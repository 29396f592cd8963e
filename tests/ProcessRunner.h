#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace TestSupport
{
struct ProcessResult
{
    // The exit status, or -1 when the process was killed or could not start.
    int exitCode = -1;
    bool timedOut = false;
    // Standard output and standard error together.
    std::string output;
};

// Runs a program (found on PATH) with its arguments, input on its standard
// input, and waits for it; killed when it runs longer than timeout.
ProcessResult runProcess(const std::vector<std::string>& arguments, const std::string& input = std::string(),
                         std::chrono::milliseconds timeout = std::chrono::seconds(20));
}
