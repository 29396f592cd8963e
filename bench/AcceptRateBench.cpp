// Accept rate: client threads open a fixed number of loopback connections as
// fast as they can and keep them open; timed from the first connect to the
// last connection announced (newProtocolSignal for Brindlewick, the return of
// accept(2) for a plain blocking accept loop). The runs alternate and each
// figure is the median of the runs.

#include "AllocatorTuning.h"
#include "BenchSupport.h"

#include "Core.h"
#include "ProtocolBase.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

using namespace Bench;

namespace
{
const char usage[] =
    "usage: bench_accept_rate [--connections=2000] [--client-threads=0|1|2 (0: both)] [--runs=9]\n"
    "                         [--family=ipv4|ipv6] [--only=plain|ours] [--log=devnull|discard]\n"
    "                         [--deadline=SECONDS]\n";

// A run lasts tens of milliseconds, so one scheduling hiccup (another process
// waking up on one of the two cores) can halve a figure: more runs than the
// other benchmarks, at well under a second in all.
constexpr int defaultRuns = 9;

struct Settings
{
    int connections = 2000;
    // 0: both 1 and 2. With one client thread the server has a core to
    // itself; with two, the clients keep both cores busy and every
    // microsecond the server spends per connection is taken from them.
    int clientThreads = 0;
    // Either side alone, for profiling one of them (no ratio is printed then).
    bool runPlain = true;
    bool runOurs = true;
    // The clients connect to 127.0.0.1 or ::1. Brindlewick listens as it does
    // by default (one IPv6 socket that takes IPv4 clients too), the plain loop
    // on that loopback address alone.
    Family family = Family::Ipv4;
};

// Client threads connect their share once released and keep every socket.
class Clients
{
public:
    explicit Clients(const Settings& settings)
        : settings(settings)
        , perThread(settings.clientThreads)
    {
    }

    // Records the start time, then every thread connects its share.
    void run(unsigned short port)
    {
        startTime = Clock::now();
        startProcessCpu = processCpuSeconds();
        std::vector<double> threadCpu(settings.clientThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < settings.clientThreads; ++t) {
            const int share = settings.connections / settings.clientThreads +
                              (t < settings.connections % settings.clientThreads ? 1 : 0);
            threads.emplace_back([this, t, share, port, &threadCpu] {
                const double cpuStart = threadCpuSeconds();
                perThread[t].reserve(share);
                for (int i = 0; i < share; ++i)
                    perThread[t].push_back(connectLoopback(port, settings.family));
                threadCpu[t] = threadCpuSeconds() - cpuStart;
            });
        }
        for (auto& thread : threads)
            thread.join();
        cpuSeconds = 0;
        for (double cpu : threadCpu)
            cpuSeconds += cpu;
    }

    void closeAll()
    {
        for (auto& fds : perThread)
            Bench::closeAll(fds);
    }

    Clock::time_point startTime;
    double startProcessCpu = 0;
    // CPU time of the client threads, valid after run.
    double cpuSeconds = 0;

private:
    const Settings& settings;
    std::vector<std::vector<int>> perThread;
};

struct RunResult
{
    double seconds = 0;
    // CPU time of the whole process from the first connect to the last
    // connection announced, less the client threads': what accepting cost.
    double serverCpuSeconds = 0;
};

RunResult runBaseline(const Settings& settings)
{
    unsigned short port = 0;
    const int listener = listenLoopback(port, SOMAXCONN, settings.family);
    std::vector<int> accepted;
    accepted.reserve(settings.connections);
    Clock::time_point lastAccept;
    double lastAcceptCpu = 0;

    std::thread acceptor([&] {
        while (static_cast<int>(accepted.size()) < settings.connections) {
            const int fd = ::accept(listener, nullptr, nullptr);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                fail(std::string("accept: ") + std::strerror(errno));
            }
            accepted.push_back(fd);
        }
        lastAccept = Clock::now();
        lastAcceptCpu = processCpuSeconds();
    });

    Clients clients(settings);
    clients.run(port);
    acceptor.join();
    RunResult result;
    result.seconds = seconds(lastAccept - clients.startTime);
    result.serverCpuSeconds = lastAcceptCpu - clients.startProcessCpu - clients.cpuSeconds;
    closeAll(accepted);
    clients.closeAll();
    ::close(listener);
    return result;
}

RunResult runOurs(const Settings& settings)
{
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<boost::shared_ptr<ProtocolBase>> protocols;
    protocols.reserve(settings.connections);
    Clock::time_point lastAnnounced;
    double lastAnnouncedCpu = 0;
    RunResult result;
    {
        Core core;
        core.setListenPort(0);
        core.setProtocolType(ProtocolFactory::PLAIN_TEXT);
        core.newProtocolSignal.connect([&](boost::shared_ptr<ProtocolBase> protocol) {
            const auto now = Clock::now();
            std::lock_guard<std::mutex> lock(mutex);
            protocols.push_back(std::move(protocol));
            if (static_cast<int>(protocols.size()) == settings.connections) {
                lastAnnounced = now;
                lastAnnouncedCpu = processCpuSeconds();
                changed.notify_all();
            }
        });
        core.startListening();

        Clients clients(settings);
        clients.run(core.getBoundPort());
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (!changed.wait_for(lock, std::chrono::seconds(60),
                                  [&] { return static_cast<int>(protocols.size()) >= settings.connections; }))
                fail("not every connection was announced in time");
            result.seconds = seconds(lastAnnounced - clients.startTime);
            result.serverCpuSeconds = lastAnnouncedCpu - clients.startProcessCpu - clients.cpuSeconds;
        }
        clients.closeAll();
        core.stopListening();
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (auto& protocol : protocols)
                protocol->close();
            protocols.clear();
        }
        core.shutdown();
    }
    return result;
}

// The runs of one configuration, with their medians.
void measure(const Settings& settings, const CommonOptions& options)
{
    report("-- %d client thread(s), clients on %s --", settings.clientThreads, loopbackText(settings.family));
    std::vector<double> baselineRates;
    std::vector<double> ourRates;
    std::vector<double> baselineCpu;
    std::vector<double> ourCpu;
    // One untimed round of each first: a run lasts tens of milliseconds, so
    // the first one's cold caches and lazily built kernel and library state
    // would otherwise show up as a difference between the two sides.
    {
        Settings warmUp = settings;
        warmUp.connections = std::min(settings.connections, 200);
        if (settings.runPlain)
            runBaseline(warmUp);
        if (settings.runOurs)
            runOurs(warmUp);
    }
    for (int run = 1; run <= options.runs; ++run) {
        if (!settings.runPlain || !settings.runOurs) {
            const bool plain = settings.runPlain;
            const RunResult result = plain ? runBaseline(settings) : runOurs(settings);
            (plain ? baselineRates : ourRates).push_back(settings.connections / result.seconds);
            (plain ? baselineCpu : ourCpu).push_back(result.serverCpuSeconds / settings.connections * 1e6);
            report("run %d: %s %.0f conn/s (%.3f s), accepting CPU per connection %.1f us", run,
                   plain ? "plain accept loop" : "Brindlewick", settings.connections / result.seconds,
                   result.seconds, result.serverCpuSeconds / settings.connections * 1e6);
            continue;
        }
        const RunResult baseline = runBaseline(settings);
        const RunResult ours = runOurs(settings);
        baselineRates.push_back(settings.connections / baseline.seconds);
        ourRates.push_back(settings.connections / ours.seconds);
        baselineCpu.push_back(baseline.serverCpuSeconds / settings.connections * 1e6);
        ourCpu.push_back(ours.serverCpuSeconds / settings.connections * 1e6);
        report("run %d: plain accept loop %.0f conn/s (%.3f s) | Brindlewick %.0f conn/s (%.3f s) | ratio %.3f", run,
               baselineRates.back(), baseline.seconds, ourRates.back(), ours.seconds,
               ourRates.back() / baselineRates.back());
        report("   accepting CPU per connection: plain %.1f us | Brindlewick %.1f us", baselineCpu.back(),
               ourCpu.back());
    }

    if (!settings.runPlain || !settings.runOurs) {
        const bool plain = settings.runPlain;
        report("median: %s %.0f conn/s, accepting CPU per connection %.1f us",
               plain ? "plain accept loop" : "Brindlewick", median(plain ? baselineRates : ourRates),
               median(plain ? baselineCpu : ourCpu));
        return;
    }
    const double baselineMedian = median(baselineRates);
    const double ourMedian = median(ourRates);
    const double ratio = ourMedian / baselineMedian;
    report("median: plain accept loop %.0f conn/s, Brindlewick %.0f conn/s, ratio %.3f (goal >= 0.70: %s)",
           baselineMedian, ourMedian, ratio, ratio >= 0.7 ? "met" : "NOT met");
    report("median accepting CPU per connection: plain accept loop %.1f us, Brindlewick %.1f us",
           median(baselineCpu), median(ourCpu));
    report("RESULT accept_rate_%d_client_thread%s%s ours=%.0fconn/s baseline=%.0fconn/s ratio=%.3f goal=>=0.70 %s",
           settings.clientThreads, settings.clientThreads == 1 ? "" : "s",
           settings.family == Family::Ipv6 ? "_ipv6" : "", ourMedian, baselineMedian, ratio,
           ratio >= 0.7 ? "met" : "not-met");
}
}

int main(int argc, char** argv)
{
    keepChunkSizedBlocksForReuse(); // as the program's main does
    Settings settings;
    const CommonOptions options = parseOptions(argc, argv, usage, [&](const std::string& name, const std::string& value) {
        if (name == "--connections") {
            settings.connections = std::atoi(value.c_str());
            return settings.connections >= 1 && settings.connections <= 5000;
        }
        if (name == "--client-threads") {
            settings.clientThreads = std::atoi(value.c_str());
            return settings.clientThreads >= 0 && settings.clientThreads <= 2;
        }
        if (name == "--family" && (value == "ipv4" || value == "ipv6")) {
            settings.family = value == "ipv6" ? Family::Ipv6 : Family::Ipv4;
            return true;
        }
        if (name == "--only" && (value == "plain" || value == "ours")) {
            settings.runPlain = value == "plain";
            settings.runOurs = value == "ours";
            return true;
        }
        return false;
    }, defaultRuns);
    redirectLog(options.logMode);
    const int deadline = options.deadlineSeconds ? options.deadlineSeconds : 60 + 4 * options.runs * 30;
    setDeadline(deadline);
    const std::uint64_t limit = raiseDescriptorLimit();
    if (limit < static_cast<std::uint64_t>(2 * settings.connections + 64))
        fail("RLIMIT_NOFILE hard limit " + std::to_string(limit) + " is too low");

    report("== accept rate: %d loopback connections to %s, %d runs each, from %s ==", settings.connections,
           loopbackText(settings.family), options.runs,
           settings.clientThreads == 0 ? "one and from two client threads"
                                       : settings.clientThreads == 1 ? "one client thread" : "two client threads");
    report("   %s; RLIMIT_NOFILE %llu; overall deadline %d s", describeLog(options.logMode),
           static_cast<unsigned long long>(limit), deadline);
    report("   load averages before: %s (2 cores; anything else running skews the figures)", loadAverages().c_str());

    std::vector<int> clientThreadCounts{1, 2};
    if (settings.clientThreads != 0)
        clientThreadCounts = {settings.clientThreads};
    for (int count : clientThreadCounts) {
        Settings one = settings;
        one.clientThreads = count;
        measure(one, options);
    }
    report("   load averages after: %s", loadAverages().c_str());
    return 0;
}
