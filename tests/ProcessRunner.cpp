#include "ProcessRunner.h"

#include <sys/wait.h>

#include <cstdio>

namespace TestSupport
{
ProcessResult runCommand(const std::string& command, int timeoutSeconds)
{
    ProcessResult result;
    const std::string line = "timeout -k 2 " + std::to_string(timeoutSeconds) + " " + command + " 2>&1";
    FILE* pipe = ::popen(line.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe))
        result.output.append(buffer, got);
    const int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
}
