#pragma once

// Shared plumbing of the network benchmarks: where the log and the report go,
// the overall deadline, descriptor limits, resident memory and small blocking
// loopback sockets for the senders, clients and plain baselines.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Bench
{
using Clock = std::chrono::steady_clock;

// How Log::line output is disposed of while a benchmark runs.
enum class LogMode {
    // File descriptor 1 is pointed at /dev/null: every log line still costs the
    // formatting and one write(2), as when stdout is a file or a pipe.
    DevNull,
    // std::cout writes into a streambuf that drops everything: formatting only.
    Discard
};

struct CommonOptions
{
    LogMode logMode = LogMode::DevNull;
    int runs = 3; // see parseOptions' defaultRuns
    int deadlineSeconds = 0; // 0: the benchmark's own default
};

// Parses --log=devnull|discard, --runs=N (default defaultRuns), --deadline=S
// and hands every other "--name=value" argument to extra (which returns false
// for an unknown one). Prints usage and exits on a bad argument.
CommonOptions parseOptions(int argc, char** argv, const char* usage,
                           const std::function<bool(const std::string& name, const std::string& value)>& extra,
                           int defaultRuns = 3);

// Sends log output where mode says and keeps the original stdout for the
// report. Call before anything logs or any thread starts.
void redirectLog(LogMode mode);
const char* describeLog(LogMode mode);

// Writes a report line to the original stdout, flushed at once.
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Ends the whole process with a message once seconds have passed, wherever it is.
void setDeadline(int seconds);

// Raises the soft RLIMIT_NOFILE to the hard limit; returns the new soft limit.
std::uint64_t raiseDescriptorLimit();

// VmRSS (or another "Name:  N kB" field) of /proc/self/status, in bytes.
std::int64_t procStatusBytes(const char* field);

// The three load averages of /proc/loadavg: other work on this 2-core
// machine skews every figure, so each benchmark prints them.
std::string loadAverages();

// CPU time used so far by the whole process, or by the calling thread. Less
// sensitive than the wall clock to other work on the machine.
double processCpuSeconds();
double threadCpuSeconds();

double median(std::vector<double> values);
double seconds(Clock::duration d);

// The loopback address the blocking sockets below use: 127.0.0.1 or ::1.
enum class Family { Ipv4, Ipv6 };
const char* loopbackText(Family family);

// Blocking sockets on a loopback address. Each fails loudly (message and
// exit): a benchmark that cannot open its sockets has nothing to say.
int listenLoopback(unsigned short& port, int backlog, Family family = Family::Ipv4);
int connectLoopback(unsigned short port, Family family = Family::Ipv4);
void sendAll(int fd, const char* data, std::size_t size);
void closeAll(std::vector<int>& fds);

[[noreturn]] void fail(const std::string& message);
}
