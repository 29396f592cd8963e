#include "ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace TestSupport
{
namespace
{
// Reads the child's output until it closes it or the deadline passes.
bool collectOutput(int fd, std::chrono::steady_clock::time_point deadline, std::string& output)
{
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0)
            continue;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return true;
        output.append(buffer, static_cast<std::size_t>(got));
    }
}
}

ProcessResult runProcess(const std::vector<std::string>& arguments, const std::string& input,
                         std::chrono::milliseconds timeout)
{
    // A child that exits before reading its input must not end the tests.
    ::signal(SIGPIPE, SIG_IGN);
    ProcessResult result;
    int outputPipe[2];
    int inputPipe[2];
    if (::pipe2(outputPipe, O_CLOEXEC) != 0)
        return result;
    if (::pipe2(inputPipe, O_CLOEXEC) != 0) {
        ::close(outputPipe[0]);
        ::close(outputPipe[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inputPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outputPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, outputPipe[1], 2);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(inputPipe[0]);
    ::close(outputPipe[1]);
    // The inputs are small: a pipe takes them whole without a reader.
    if (spawned == 0 && !input.empty() && ::write(inputPipe[1], input.data(), input.size()) < 0)
        result.output = "(could not write the input)\n";
    ::close(inputPipe[1]);
    if (spawned != 0) {
        ::close(outputPipe[0]);
        result.output = "could not start " + arguments.front();
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    result.timedOut = !collectOutput(outputPipe[0], deadline, result.output);
    ::close(outputPipe[0]);
    int status = 0;
    while (!result.timedOut && ::waitpid(pid, &status, WNOHANG) == 0) {
        result.timedOut = std::chrono::steady_clock::now() > deadline;
        ::usleep(2000);
    }
    if (result.timedOut) {
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    } else if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}
}
