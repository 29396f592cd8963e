#pragma once

// Plumbing shared by the desktop benchmarks: the log sink, the report lines,
// deadlines, child processes (one per measured variant, so that each peak
// of resident memory is its own), the event-loop lateness probe and the
// flood text with its check.

#include "BenchSupport.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSize>
#include <QStringView>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace GuiBench
{
using Clock = std::chrono::steady_clock;

// Our Log::line output goes to std::cout. This points std::cout at a
// streambuf that drops everything, so each log line still costs its
// formatting but no write; C stdio's stdout stays free for the report.
void discardLog();

// One "key=value" report line on stdout, flushed at once.
void report(const std::string& key, const std::string& value);
void report(const std::string& key, double value);
void report(const std::string& key, std::int64_t value);

// Ends this process with a message once seconds have passed, wherever it is
// (SIGALRM): a frozen event loop cannot keep a benchmark running.
void setDeadline(int seconds);

// Shared with the network benchmarks.
using Bench::procStatusBytes;
using Bench::raiseDescriptorLimit;

// Calls handle(name, value) for every argument, split at its first '='
// ("--runs=3" gives "--runs" and "3"; "--normal" gives "--normal" and "").
void forEachOption(int argc, char** argv,
                   const std::function<void(const std::string& name, const std::string& value)>& handle);
// Reads "WxH" into size; false unless both are positive numbers.
bool parseSize(const std::string& text, QSize& size);

double seconds(Clock::duration d);
// CPU time used so far by the calling thread.
double threadCpuSeconds();
double median(std::vector<double> values);
// Nearest-rank percentile, p in [0, 100].
double percentile(std::vector<double> values, double p);

// Points XDG_CONFIG_HOME at a fresh temporary directory for as long as it
// lives, so that the program's settings are its defaults and nothing of the
// user's is read or written.
class TemporaryConfigHome
{
public:
    TemporaryConfigHome();
    ~TemporaryConfigHome();
    TemporaryConfigHome(const TemporaryConfigHome&) = delete;
    TemporaryConfigHome& operator=(const TemporaryConfigHome&) = delete;

private:
    std::string path;
};

// The result of running this executable again with other arguments.
struct ChildResult
{
    bool ok = false;          // exited with status 0 before the deadline
    std::string failure;      // why not, when !ok
    double wallSeconds = 0;
    std::map<std::string, std::string> values; // its report lines

    double number(const std::string& key, double fallback = -1) const;
    std::string text(const std::string& key) const;
};

// Runs /proc/self/exe with args, reads its report lines from a pipe and kills
// it (by its pid) should it outlive deadlineSeconds. Its stderr is ours.
ChildResult runSelf(const std::vector<std::string>& args, int deadlineSeconds);

// Fires every intervalMs on the thread that owns it and records how late each
// firing was: a single-shot precise timer re-armed on every tick, lateness =
// time since arming - interval. onTick runs on every tick after the record.
class LatenessProbe : public QObject
{
public:
    LatenessProbe(int intervalMs, std::function<void()> onTick);

    void start();
    void stop();
    const std::vector<double>& latenessMs() const { return samples; }
    // When each sample was taken, in seconds since start().
    const std::vector<double>& sampleTimes() const { return times; }

private:
    void tick();

    int intervalMs;
    std::function<void()> onTick;
    QTimer timer;
    QElapsedTimer armed;
    QElapsedTimer started;
    std::vector<double> samples;
    std::vector<double> times;
    bool running = false;
};

// Blocking IPv4 sockets on 127.0.0.1; each reports and exits on failure.
int connectLoopback(unsigned short port);
// Listens on a port that the system picks; port receives it.
int listenLoopback(unsigned short& port, int backlog);
void sendAll(int fd, const char* data, std::size_t size);
[[noreturn]] void fail(const std::string& message);

// The flood text: chunk k of 1,000,000 bytes is 12,500 lines of 79 printable
// characters and '\n'. Each line starts with its global line number, so that
// a line out of place or missing shows.
constexpr std::size_t floodChunkSize = 1000000;
constexpr std::size_t floodLineLength = 80; // with its '\n'
void makeFloodChunk(int index, std::string& out);

// Checks a document's blocks against the flood text. Each '\n' of the text is
// a block break; the widgets may add further breaks (each received chunk
// starts a paragraph), so a break where the text has no '\n' is allowed.
class FloodChecker
{
public:
    explicit FloodChecker(int chunks);
    // Starts the comparison at this byte of the text rather than its first:
    // for a document that keeps only its latest lines.
    void startAt(std::size_t byte);
    // Feeds one block; false at the first mismatch.
    bool block(QStringView text, bool first);
    // True when all of the text was matched.
    bool complete() const;
    std::string problem() const { return error; }
    std::size_t matched() const { return consumed; }

private:
    bool fill();

    int chunks;
    int nextChunk = 0;
    std::string chunk;
    std::size_t offset = 0;
    std::size_t consumed = 0;
    std::string error;
};

// ---- for children whose standard output is /dev/null ----------------------
// Such a child writes its log lines to a real standard output (the cost of
// the program's log as it is), so its report lines take another descriptor.

// Set in a child's environment by runSelf with SpawnOptions::stdoutToDevNull:
// the descriptor its report lines go to.
constexpr const char* reportDescriptorVariable = "BRINDLEWICK_BENCH_REPORT_FD";

// In a child: sends report lines to the descriptor named in the environment,
// if any (call first thing).
void reportToDescriptorFromEnvironment();

struct SpawnOptions
{
    // The child's fd 1 is /dev/null and its report lines go through fd 3.
    bool stdoutToDevNull = false;
};

ChildResult runSelf(const std::vector<std::string>& args, int deadlineSeconds, const SpawnOptions& options);

// The whole process's CPU time so far (user + system, all threads).
double processCpuSeconds();
}
