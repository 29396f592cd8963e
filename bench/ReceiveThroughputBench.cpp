// Receive throughput: one loopback client streams a fixed amount of data
// through Server, Session, PlainText and a readDataSignal listener that only
// counts bytes, against a plain blocking accept + recv loop receiving the same
// amount from the same sender. The runs alternate and each figure is the
// median of the runs.

#include "AllocatorTuning.h"
#include "BenchSupport.h"

#include "Core.h"
#include "ProtocolBase.h"
#include "Session.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

using namespace Bench;

namespace
{
const char usage[] =
    "usage: bench_receive_throughput [--mib=512] [--send-chunk=1048576] [--runs=3]\n"
    "                                [--only=plain|ours] [--log=devnull|discard] [--deadline=SECONDS]\n";

// The plain receiver's buffer: 1 MB, whatever Session::maxChunkSize is.
constexpr std::size_t plainBufferSize = 1000000;

struct Settings
{
    std::uint64_t totalBytes = 512ull << 20;
    std::size_t sendChunk = 1 << 20;
    // Either side alone, for profiling one of them (no ratio is printed then).
    bool runPlain = true;
    bool runOurs = true;
};

// Sizes of the chunks the receiving side was handed. Written by one thread at
// a time (a Session's strand, or the plain receiver), read after the run.
struct ChunkStats
{
    static constexpr std::array<std::size_t, 6> limits{4096, 16384, 65536, 131072, 262144, 999999};
    std::array<std::uint64_t, limits.size() + 1> buckets{};
    std::uint64_t count = 0;
    std::size_t smallest = SIZE_MAX;
    std::size_t largest = 0;

    void add(std::size_t size)
    {
        ++count;
        smallest = std::min(smallest, size);
        largest = std::max(largest, size);
        std::size_t i = 0;
        while (i < limits.size() && size > limits[i])
            ++i;
        ++buckets[i];
    }

    std::string describe(std::uint64_t bytes) const
    {
        char text[512];
        std::snprintf(text, sizeof text,
                      "%llu chunks, mean %.0f B, min %zu, max %zu; <=4K %llu, <=16K %llu, <=64K %llu, "
                      "<=128K %llu, <=256K %llu, <1M %llu, 1M %llu",
                      static_cast<unsigned long long>(count), count ? double(bytes) / double(count) : 0.0,
                      count ? smallest : 0, largest, static_cast<unsigned long long>(buckets[0]),
                      static_cast<unsigned long long>(buckets[1]), static_cast<unsigned long long>(buckets[2]),
                      static_cast<unsigned long long>(buckets[3]), static_cast<unsigned long long>(buckets[4]),
                      static_cast<unsigned long long>(buckets[5]), static_cast<unsigned long long>(buckets[6]));
        return text;
    }
};

struct RunResult
{
    double seconds = 0;
    // CPU time of the whole process from the first connect to the last byte
    // counted, less the sender thread's: what receiving cost. Less sensitive
    // than the wall clock to other work on the machine.
    double receiverCpuSeconds = 0;
    double senderCpuSeconds = 0;
    std::uint64_t bytes = 0;
    ChunkStats chunks;
    double rate() const { return double(bytes) / seconds; }
    double cpuPerGiB() const { return receiverCpuSeconds / (double(bytes) / double(1u << 30)); }
    double senderCpuPerGiB() const { return senderCpuSeconds / (double(bytes) / double(1u << 30)); }
};

// Connects to port and writes totalBytes in sendChunk pieces with blocking
// send(2), then closes. The clock starts just before connect.
class Sender
{
public:
    Sender(const Settings& settings, const std::vector<char>& payload)
        : settings(settings)
        , payload(payload)
    {
    }

    void start(unsigned short port)
    {
        thread = std::thread([this, port] {
            startTime = Clock::now();
            startProcessCpu = processCpuSeconds();
            const double threadStart = threadCpuSeconds();
            const int fd = connectLoopback(port);
            std::uint64_t sent = 0;
            while (sent < settings.totalBytes) {
                const std::size_t n = std::min<std::uint64_t>(settings.sendChunk, settings.totalBytes - sent);
                sendAll(fd, payload.data(), n);
                sent += n;
            }
            ::close(fd);
            cpuSeconds = threadCpuSeconds() - threadStart;
        });
    }

    void join() { thread.join(); }
    // Valid after join.
    Clock::time_point startTime;
    double startProcessCpu = 0;
    double cpuSeconds = 0;

private:
    const Settings& settings;
    const std::vector<char>& payload;
    std::thread thread;
};

// Where the counting listener reports; also the plain receiver's end marker.
struct Finish
{
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    Clock::time_point endTime;
    double endProcessCpu = 0;

    void markDone()
    {
        const auto now = Clock::now();
        const double cpu = processCpuSeconds();
        std::lock_guard<std::mutex> lock(mutex);
        endTime = now;
        endProcessCpu = cpu;
        done = true;
        changed.notify_all();
    }

    void wait(std::chrono::seconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, timeout, [this] { return done; }))
            fail("a run did not finish in time");
    }
};

RunResult runBaseline(const Settings& settings, const std::vector<char>& payload)
{
    unsigned short port = 0;
    const int listener = listenLoopback(port, 16);
    RunResult result;
    Finish finish;

    std::thread receiver([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0)
            fail("accept failed");
        std::vector<char> buffer(plainBufferSize);
        std::uint64_t received = 0;
        for (;;) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            received += static_cast<std::uint64_t>(n);
            result.chunks.add(static_cast<std::size_t>(n));
            if (received == settings.totalBytes)
                finish.markDone();
        }
        result.bytes = received;
        ::close(fd);
    });

    Sender sender(settings, payload);
    sender.start(port);
    finish.wait(std::chrono::seconds(120));
    sender.join();
    receiver.join();
    ::close(listener);
    result.seconds = seconds(finish.endTime - sender.startTime);
    result.receiverCpuSeconds = finish.endProcessCpu - sender.startProcessCpu - sender.cpuSeconds;
    result.senderCpuSeconds = sender.cpuSeconds;
    return result;
}

RunResult runOurs(const Settings& settings, const std::vector<char>& payload)
{
    RunResult result;
    Finish finish;
    // Touched only from the Session's strand; read after the run has finished.
    struct Counter
    {
        std::uint64_t bytes = 0;
        ChunkStats chunks;
    };
    auto counter = std::make_shared<Counter>();
    const std::uint64_t total = settings.totalBytes;

    std::mutex protocolsMutex;
    std::vector<boost::shared_ptr<ProtocolBase>> protocols;
    {
        Core core;
        core.setListenPort(0);
        core.setProtocolType(ProtocolFactory::PLAIN_TEXT);
        core.newProtocolSignal.connect([&](boost::shared_ptr<ProtocolBase> protocol) {
            protocol->readDataSignal.connect([counter, total, &finish](std::string data) {
                if (data.empty())
                    return;
                counter->bytes += data.size();
                counter->chunks.add(data.size());
                if (counter->bytes == total)
                    finish.markDone();
            });
            protocol->start();
            std::lock_guard<std::mutex> lock(protocolsMutex);
            protocols.push_back(std::move(protocol));
        });
        core.startListening();

        Sender sender(settings, payload);
        sender.start(core.getBoundPort());
        finish.wait(std::chrono::seconds(120));
        sender.join();
        result.seconds = seconds(finish.endTime - sender.startTime);
        result.receiverCpuSeconds = finish.endProcessCpu - sender.startProcessCpu - sender.cpuSeconds;
        result.senderCpuSeconds = sender.cpuSeconds;

        {
            std::lock_guard<std::mutex> lock(protocolsMutex);
            for (auto& protocol : protocols)
                protocol->close();
            protocols.clear();
        }
        core.shutdown();
    }
    result.bytes = counter->bytes;
    result.chunks = counter->chunks;
    return result;
}
}

int main(int argc, char** argv)
{
    keepChunkSizedBlocksForReuse(); // as the program's main does
    Settings settings;
    const CommonOptions options = parseOptions(argc, argv, usage, [&](const std::string& name, const std::string& value) {
        if (name == "--mib") {
            settings.totalBytes = std::strtoull(value.c_str(), nullptr, 10) << 20;
            return settings.totalBytes > 0 && settings.totalBytes <= (8ull << 30);
        }
        if (name == "--send-chunk") {
            settings.sendChunk = std::strtoull(value.c_str(), nullptr, 10);
            return settings.sendChunk > 0 && settings.sendChunk <= (64u << 20);
        }
        if (name == "--only" && (value == "plain" || value == "ours")) {
            settings.runPlain = value == "plain";
            settings.runOurs = value == "ours";
            return true;
        }
        return false;
    });
    redirectLog(options.logMode);
    const int deadline = options.deadlineSeconds ? options.deadlineSeconds : 60 + 2 * options.runs * 60;
    setDeadline(deadline);

    std::vector<char> payload(settings.sendChunk);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>('a' + i % 26);

    report("== receive throughput: %.0f MiB from one loopback client, %zu-byte send(2) calls, %d runs each ==",
           double(settings.totalBytes) / (1 << 20), settings.sendChunk, options.runs);
    report("   %s; overall deadline %d s", describeLog(options.logMode), deadline);
    report("   load averages before: %s (2 cores; anything else running skews the figures)", loadAverages().c_str());

    std::vector<double> baselineRates;
    std::vector<double> ourRates;
    std::vector<double> baselineCpu;
    std::vector<double> ourCpu;
    for (int run = 1; run <= options.runs; ++run) {
        if (!settings.runPlain || !settings.runOurs) {
            const bool plain = settings.runPlain;
            const RunResult result = plain ? runBaseline(settings, payload) : runOurs(settings, payload);
            if (result.bytes != settings.totalBytes)
                fail("received " + std::to_string(result.bytes) + " bytes");
            (plain ? baselineRates : ourRates).push_back(result.rate());
            report("run %d: %s %.3f GB/s (%.3f s), receiving CPU %.0f ms/GiB, sending CPU %.0f ms/GiB", run,
                   plain ? "plain recv loop" : "Brindlewick", result.rate() / 1e9, result.seconds,
                   result.cpuPerGiB() * 1e3, result.senderCpuPerGiB() * 1e3);
            report("   chunks: %s", result.chunks.describe(result.bytes).c_str());
            continue;
        }
        const RunResult baseline = runBaseline(settings, payload);
        if (baseline.bytes != settings.totalBytes)
            fail("the plain receiver got " + std::to_string(baseline.bytes) + " bytes");
        const RunResult ours = runOurs(settings, payload);
        if (ours.bytes != settings.totalBytes)
            fail("the listener counted " + std::to_string(ours.bytes) + " bytes");
        baselineRates.push_back(baseline.rate());
        ourRates.push_back(ours.rate());
        baselineCpu.push_back(baseline.cpuPerGiB());
        ourCpu.push_back(ours.cpuPerGiB());
        report("run %d: plain recv loop %.3f GB/s (%.3f s) | Brindlewick %.3f GB/s (%.3f s) | ratio %.3f", run,
               baseline.rate() / 1e9, baseline.seconds, ours.rate() / 1e9, ours.seconds,
               ours.rate() / baseline.rate());
        report("   receiving CPU: plain %.0f ms/GiB | Brindlewick %.0f ms/GiB; sending CPU: %.0f | %.0f ms/GiB",
               baseline.cpuPerGiB() * 1e3, ours.cpuPerGiB() * 1e3, baseline.senderCpuPerGiB() * 1e3,
               ours.senderCpuPerGiB() * 1e3);
        report("   plain chunks: %s", baseline.chunks.describe(baseline.bytes).c_str());
        report("   our chunks:   %s", ours.chunks.describe(ours.bytes).c_str());
    }

    if (!settings.runPlain || !settings.runOurs) {
        const bool plain = settings.runPlain;
        report("median: %s %.3f GB/s", plain ? "plain recv loop" : "Brindlewick",
               median(plain ? baselineRates : ourRates) / 1e9);
        return 0;
    }
    const double baselineMedian = median(baselineRates);
    const double ourMedian = median(ourRates);
    const double ratio = ourMedian / baselineMedian;
    report("   load averages after: %s", loadAverages().c_str());
    report("median: plain recv loop %.3f GB/s, Brindlewick %.3f GB/s, ratio %.3f (goal >= 0.80: %s)",
           baselineMedian / 1e9, ourMedian / 1e9, ratio, ratio >= 0.8 ? "met" : "NOT met");
    report("median receiving CPU: plain recv loop %.0f ms/GiB, Brindlewick %.0f ms/GiB (plain/ours %.3f)",
           median(baselineCpu) * 1e3, median(ourCpu) * 1e3, median(baselineCpu) / median(ourCpu));
    report("RESULT receive_throughput ours=%.3fGB/s baseline=%.3fGB/s ratio=%.3f goal=>=0.80 %s",
           ourMedian / 1e9, baselineMedian / 1e9, ratio, ratio >= 0.8 ? "met" : "not-met");
    return 0;
}
