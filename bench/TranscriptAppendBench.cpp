// Appending to a Transcript against writing the same chunks to a file: a
// fixed amount of data in fixed-size chunks, once through Transcript::append
// with its default limits unless told otherwise (all but the last memory
// budget goes to its temporary file) and once through write(2) to an unlinked file in the same
// folder. The runs alternate; each figure is the median of the runs. Also
// reports how fast appendEscaped turns text with some control bytes into its
// escaped form, as the log copy and the text views do.

#include "BenchSupport.h"

#include "ByteEscaper.h"
#include "Transcript.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <random>

using namespace Bench;

namespace
{
const char usage[] =
    "usage: bench_transcript_append [--mib=1024] [--chunk=65536] [--runs=3] [--only=plain|ours]\n"
    "                               [--budget-kib=32768] [--block-kib=1024] [--deadline=SECONDS]\n";

struct Settings
{
    std::uint64_t totalBytes = 1024ull << 20;
    std::size_t chunk = 64 * 1024;
    TranscriptLimits limits; // the defaults, unless changed
    // Either side alone, for profiling one of them.
    bool runPlain = true;
    bool runOurs = true;
};

std::string spillDirectory()
{
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

// Wall-clock and CPU seconds (user and system time of this thread) of one run.
struct Timing
{
    double wall = 0;
    double cpu = 0;
};

class Stopwatch
{
public:
    Timing elapsed() const { return Timing{seconds(Clock::now() - wallStart), threadCpuSeconds() - cpuStart}; }

private:
    Clock::time_point wallStart = Clock::now();
    double cpuStart = threadCpuSeconds();
};

std::string sampleChunk(std::size_t size)
{
    std::mt19937 random(5);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

Timing appendToTranscript(const Settings& settings, const std::string& chunk, std::uint64_t& memory)
{
    const Stopwatch stopwatch;
    Transcript transcript(settings.limits);
    for (std::uint64_t done = 0; done < settings.totalBytes; done += chunk.size())
        transcript.append(Direction::Received, chunk.data(), chunk.size(), Transcript::nowUs());
    const Timing elapsed = stopwatch.elapsed();
    memory = transcript.bytesInMemory();
    if (transcript.storageFailed())
        fail("the transcript's file failed: " + transcript.storageError());
    return elapsed;
}

Timing writeToFile(const Settings& settings, const std::string& chunk)
{
    const std::string directory = spillDirectory();
    int fd = ::open(directory.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("cannot open a temporary file in " + directory);
    const Stopwatch stopwatch;
    for (std::uint64_t done = 0; done < settings.totalBytes; done += chunk.size()) {
        if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size()))
            fail("write to the temporary file failed");
    }
    const Timing elapsed = stopwatch.elapsed();
    ::close(fd);
    return elapsed;
}

// Mostly printable text with a line break every 60 bytes and a few control bytes.
double escapeRate()
{
    std::string text(64 << 20, 'a');
    std::mt19937 random(9);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i % 60 == 59)
            text[i] = '\n';
        else if (random() % 200 == 0)
            text[i] = static_cast<char>(random() % 32);
        else
            text[i] = static_cast<char>(' ' + random() % 95);
    }
    std::string out;
    out.reserve(text.size() * 2);
    const Stopwatch stopwatch;
    for (std::size_t at = 0; at < text.size(); at += 65536) {
        out.clear();
        appendEscaped(out, text.data() + at, 65536);
    }
    return double(text.size()) / stopwatch.elapsed().cpu / 1e9;
}
}

int main(int argc, char** argv)
{
    Settings settings;
    const CommonOptions options = parseOptions(argc, argv, usage, [&](const std::string& name, const std::string& value) {
        if (name == "--mib")
            settings.totalBytes = std::strtoull(value.c_str(), nullptr, 10) << 20;
        else if (name == "--chunk")
            settings.chunk = std::strtoull(value.c_str(), nullptr, 10);
        else if (name == "--budget-kib")
            settings.limits.memoryBudget = std::strtoull(value.c_str(), nullptr, 10) << 10;
        else if (name == "--block-kib")
            settings.limits.blockSize = std::strtoull(value.c_str(), nullptr, 10) << 10;
        else if (name == "--only" && (value == "plain" || value == "ours"))
            (value == "plain" ? settings.runOurs : settings.runPlain) = false;
        else
            return false;
        return settings.totalBytes > 0 && settings.chunk > 0 && settings.limits.blockSize > 0;
    });
    const int deadline = options.deadlineSeconds ? options.deadlineSeconds : 300;
    setDeadline(deadline);

    const double gib = double(settings.totalBytes) / double(1ull << 30);
    report("== transcript append: %.2f GiB in %zu-byte chunks, %d runs each, files in %s ==", gib, settings.chunk,
           options.runs, spillDirectory().c_str());
    report("   transcript memory budget %zu KiB, blocks of %zu KiB", settings.limits.memoryBudget >> 10,
           settings.limits.blockSize >> 10);
    report("   overall deadline %d s; load averages before: %s", deadline, loadAverages().c_str());
    const std::string chunk = sampleChunk(settings.chunk);
    const double bytes = double(settings.totalBytes);
    const auto rate = [bytes](double seconds) { return bytes / seconds / 1e9; };
    std::vector<double> plainWall, ourWall, plainCpu, ourCpu;
    for (int run = 1; run <= options.runs; ++run) {
        const Timing plain = settings.runPlain ? writeToFile(settings, chunk) : Timing{1, 1};
        std::uint64_t memory = 0;
        const Timing ours = settings.runOurs ? appendToTranscript(settings, chunk, memory) : Timing{1, 1};
        plainWall.push_back(plain.wall);
        ourWall.push_back(ours.wall);
        plainCpu.push_back(plain.cpu);
        ourCpu.push_back(ours.cpu);
        report("run %d: write(2) %.3f GB/s (%.3f s, CPU %.3f s) | Transcript::append %.3f GB/s (%.3f s, CPU %.3f s, "
               "%.1f MiB left in memory) | ratio %.3f",
               run, rate(plain.wall), plain.wall, plain.cpu, rate(ours.wall), ours.wall, ours.cpu,
               double(memory) / double(1 << 20), plain.wall / ours.wall);
    }
    const double ratio = median(plainWall) / median(ourWall);
    const double cpuRatio = median(plainCpu) / median(ourCpu);
    const char* verdict = ratio >= 0.8 ? "met" : "NOT met";
    report("   load averages after: %s", loadAverages().c_str());
    report("median: write(2) %.3f GB/s, Transcript::append %.3f GB/s, ratio %.3f (goal >= 0.80: %s)",
           rate(median(plainWall)), rate(median(ourWall)), ratio, verdict);
    report("median CPU: write(2) %.0f ms/GiB, Transcript::append %.0f ms/GiB (write/append %.3f)",
           1000 * median(plainCpu) / gib, 1000 * median(ourCpu) / gib, cpuRatio);
    report("appendEscaped: %.2f GB/s of CPU time on text with a line break every 60 bytes", escapeRate());
    report("RESULT transcript_append ours=%.3fGB/s baseline=%.3fGB/s ratio=%.3f goal=>=0.80 %s",
           rate(median(ourWall)), rate(median(plainWall)), ratio, verdict);
    return 0;
}
