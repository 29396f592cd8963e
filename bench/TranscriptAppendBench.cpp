// Appending to a Transcript against writing the same chunks to a file: a
// fixed amount of data in fixed-size chunks, through
//  - write(2) to an unlinked file (the baseline),
//  - a bare ring of blocks as large as the transcript's memory budget, each
//    block written with pwrite(2) when full (what the design costs at the
//    least: the bytes pass through memory that no longer fits in the cache),
//  - Transcript::append with its default limits unless told otherwise,
//  - the same with the default disk reserve (2 GiB or 5 % kept free), which
//    counts down between measurements instead of asking the system per write,
//  - the same keeping only its newest 256 MiB (a quarter of the default
//    total), whose file gives back the space of what it dropped.
// The three take turns, and each run starts with another one: on the
// development machine whichever ran right after another had freed its
// gigabyte of page cache was up to three times slower. Each figure is the
// median of the runs. Also reports how
// fast appendEscaped turns text with some control bytes into its escaped form,
// as the log copy and the text views do.

#include "BenchSupport.h"

#include "ByteEscaper.h"
#include "DiskReserve.h"
#include "Transcript.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <iterator>
#include <cstring>
#include <memory>
#include <random>

using namespace Bench;

namespace
{
const char usage[] =
    "usage: bench_transcript_append [--mib=1024] [--chunk=65536] [--runs=3] [--only=plain|ring|ours|reserve|newest]\n"
    "                               [--budget-kib=32768] [--block-kib=1024] [--deadline=SECONDS]\n";

struct Settings
{
    std::uint64_t totalBytes = 1024ull << 20;
    std::size_t chunk = 64 * 1024;
    TranscriptLimits limits; // the defaults, unless changed
    std::string only;        // one contender alone, for profiling it
};

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

std::string spillDirectory()
{
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

int openUnlinkedFile()
{
    const int fd = ::open(spillDirectory().c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("cannot open a temporary file in " + spillDirectory());
    return fd;
}

std::string sampleChunk(std::size_t size)
{
    std::mt19937 random(5);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

Timing writeToFile(const Settings& settings, const std::string& chunk)
{
    const int fd = openUnlinkedFile();
    const Stopwatch stopwatch;
    for (std::uint64_t done = 0; done < settings.totalBytes; done += chunk.size()) {
        if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size()))
            fail("write to the temporary file failed");
    }
    const Timing elapsed = stopwatch.elapsed();
    ::close(fd);
    return elapsed;
}

// Assumes the chunk size divides the block size.
Timing writeThroughRing(const Settings& settings, const std::string& chunk)
{
    const std::size_t blockSize = settings.limits.blockSize;
    const std::size_t blockCount = std::max<std::size_t>(1, settings.limits.memoryBudget / blockSize);
    std::vector<std::unique_ptr<char[]>> ring;
    const int fd = openUnlinkedFile();
    const Stopwatch stopwatch;
    for (std::uint64_t done = 0; done < settings.totalBytes;) {
        const std::size_t slot = static_cast<std::size_t>(done / blockSize % blockCount);
        if (slot == ring.size())
            ring.emplace_back(new char[blockSize]);
        char* const block = ring[slot].get();
        std::memcpy(block + done % blockSize, chunk.data(), chunk.size());
        done += chunk.size();
        if (done % blockSize == 0
            && ::pwrite(fd, block, blockSize, static_cast<off_t>(done - blockSize)) != static_cast<ssize_t>(blockSize))
            fail("pwrite to the temporary file failed");
    }
    const Timing elapsed = stopwatch.elapsed();
    ::close(fd);
    return elapsed;
}

Timing appendToTranscript(const Settings& settings, const std::string& chunk)
{
    const Stopwatch stopwatch;
    Transcript transcript(settings.limits);
    for (std::uint64_t done = 0; done < settings.totalBytes; done += chunk.size())
        transcript.append(Direction::Received, chunk.data(), chunk.size(), Transcript::nowUs());
    const Timing elapsed = stopwatch.elapsed();
    if (transcript.storageFailed())
        fail("the transcript's file failed: " + transcript.storageError());
    if (transcript.bytesInMemory() > settings.limits.memoryBudget + settings.limits.blockSize)
        fail("the transcript holds more than its budget");
    return elapsed;
}

Timing appendWithReserve(const Settings& settings, const std::string& chunk)
{
    Settings reserved = settings;
    reserved.limits.reserve = std::make_shared<DiskReserve>(spillDirectory());
    return appendToTranscript(reserved, chunk);
}

Timing appendKeepingNewest(const Settings& settings, const std::string& chunk)
{
    Settings capped = settings;
    capped.limits.reserve = std::make_shared<DiskReserve>(spillDirectory());
    capped.limits.keepAtMost = std::max<std::uint64_t>(settings.totalBytes / 4, settings.limits.memoryBudget);
    capped.limits.atCap = AtCap::KeepNewest;
    return appendToTranscript(capped, chunk);
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

struct Contender
{
    const char* name;
    Timing (*run)(const Settings&, const std::string&);
    std::vector<double> wall;
    std::vector<double> cpu;
};
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
        else if (name == "--only"
                 && (value == "plain" || value == "ring" || value == "ours" || value == "reserve" || value == "newest"))
            settings.only = value;
        else
            return false;
        return settings.totalBytes > 0 && settings.chunk > 0 && settings.limits.blockSize % settings.chunk == 0;
    });
    const int deadline = options.deadlineSeconds ? options.deadlineSeconds : 300;
    setDeadline(deadline);

    const double gib = double(settings.totalBytes) / double(1ull << 30);
    report("== transcript append: %.2f GiB in %zu-byte chunks, %d runs each, files in %s ==", gib, settings.chunk,
           options.runs, spillDirectory().c_str());
    report("   memory budget %zu KiB, blocks of %zu KiB; overall deadline %d s", settings.limits.memoryBudget >> 10,
           settings.limits.blockSize >> 10, deadline);
    report("   load averages before: %s (2 cores; anything else running skews the figures)", loadAverages().c_str());

    const std::string chunk = sampleChunk(settings.chunk);
    Contender contenders[] = {{"plain", writeToFile, {}, {}},
                              {"ring", writeThroughRing, {}, {}},
                              {"ours", appendToTranscript, {}, {}},
                              {"reserve", appendWithReserve, {}, {}},
                              {"newest", appendKeepingNewest, {}, {}}};
    const auto rate = [&settings](double seconds) { return double(settings.totalBytes) / seconds / 1e9; };
    for (int run = 1; run <= options.runs; ++run) {
        std::string line = "run " + std::to_string(run) + ":";
        for (std::size_t turn = 0; turn < std::size(contenders); ++turn) {
            Contender& contender = contenders[(turn + run) % std::size(contenders)];
            if (!settings.only.empty() && settings.only != contender.name)
                continue;
            const Timing timing = contender.run(settings, chunk);
            contender.wall.push_back(timing.wall);
            contender.cpu.push_back(timing.cpu);
            char text[128];
            std::snprintf(text, sizeof text, " %s %.3f GB/s (CPU %.0f ms/GiB)", contender.name, rate(timing.wall),
                          1000 * timing.cpu / gib);
            line += text;
        }
        report("%s", line.c_str());
    }
    report("   load averages after: %s", loadAverages().c_str());
    if (!settings.only.empty())
        return 0;

    const auto wall = [](const Contender& contender) { return median(contender.wall); };
    const auto cpu = [&gib](const Contender& contender) { return 1000 * median(contender.cpu) / gib; };
    const Contender& plain = contenders[0];
    const Contender& ring = contenders[1];
    const Contender& ours = contenders[2];
    const double ratio = wall(plain) / wall(ours);
    report("median: write(2) %.3f GB/s, bare ring + pwrite(2) %.3f GB/s, Transcript::append %.3f GB/s", rate(wall(plain)),
           rate(wall(ring)), rate(wall(ours)));
    report("median CPU: write(2) %.0f ms/GiB, bare ring %.0f ms/GiB, Transcript::append %.0f ms/GiB", cpu(plain),
           cpu(ring), cpu(ours));
    report("ratio to write(2) %.3f, to the bare ring %.3f", ratio, wall(ring) / wall(ours));
    const Contender& reserve = contenders[3];
    const Contender& newest = contenders[4];
    report("median: with the disk reserve %.3f GB/s (%.0f ms CPU/GiB), keeping the newest %.3f GB/s (%.0f ms CPU/GiB)",
           rate(wall(reserve)), cpu(reserve), rate(wall(newest)), cpu(newest));
    report("ratio to Transcript::append alone: with the disk reserve %.3f, keeping the newest %.3f",
           wall(ours) / wall(reserve), wall(ours) / wall(newest));
    report("appendEscaped: %.2f GB/s of CPU time on text with a line break every 60 bytes", escapeRate());
    report("RESULT transcript_append ours=%.3fGB/s baseline=%.3fGB/s ratio=%.3f ring_ratio=%.3f reserve_ratio=%.3f "
           "newest_ratio=%.3f",
           rate(wall(ours)), rate(wall(plain)), ratio, wall(ring) / wall(ours), wall(ours) / wall(reserve),
           wall(ours) / wall(newest));
    return 0;
}
