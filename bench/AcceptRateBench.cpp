// Accept rate: client threads open a fixed number of loopback connections as
// fast as they can and keep them open; timed from the first connect to the
// last connection announced (newProtocolSignal for Brindlewick, the return of
// accept(2) for a plain blocking accept loop). The runs alternate and each
// figure is the median of the runs.

#include "BenchSupport.h"

#include "Core.h"
#include "ProtocolBase.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

using namespace Bench;

namespace
{
const char usage[] =
    "usage: bench_accept_rate [--connections=2000] [--client-threads=2] [--runs=3]\n"
    "                         [--log=devnull|discard] [--deadline=SECONDS]\n";

struct Settings
{
    int connections = 2000;
    int clientThreads = 2;
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
        std::vector<std::thread> threads;
        for (int t = 0; t < settings.clientThreads; ++t) {
            const int share = settings.connections / settings.clientThreads +
                              (t < settings.connections % settings.clientThreads ? 1 : 0);
            threads.emplace_back([this, t, share, port] {
                perThread[t].reserve(share);
                for (int i = 0; i < share; ++i)
                    perThread[t].push_back(connectLoopback(port));
            });
        }
        for (auto& thread : threads)
            thread.join();
    }

    void closeAll()
    {
        for (auto& fds : perThread)
            Bench::closeAll(fds);
    }

    Clock::time_point startTime;

private:
    const Settings& settings;
    std::vector<std::vector<int>> perThread;
};

double runBaseline(const Settings& settings)
{
    unsigned short port = 0;
    const int listener = listenLoopback(port, SOMAXCONN);
    std::vector<int> accepted;
    accepted.reserve(settings.connections);
    Clock::time_point lastAccept;

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
    });

    Clients clients(settings);
    clients.run(port);
    acceptor.join();
    const double elapsed = seconds(lastAccept - clients.startTime);
    closeAll(accepted);
    clients.closeAll();
    ::close(listener);
    return elapsed;
}

double runOurs(const Settings& settings)
{
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<boost::shared_ptr<ProtocolBase>> protocols;
    protocols.reserve(settings.connections);
    Clock::time_point lastAnnounced;
    double elapsed = 0;
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
            elapsed = seconds(lastAnnounced - clients.startTime);
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
    return elapsed;
}
}

int main(int argc, char** argv)
{
    Settings settings;
    const CommonOptions options = parseOptions(argc, argv, usage, [&](const std::string& name, const std::string& value) {
        if (name == "--connections") {
            settings.connections = std::atoi(value.c_str());
            return settings.connections >= 1 && settings.connections <= 5000;
        }
        if (name == "--client-threads") {
            settings.clientThreads = std::atoi(value.c_str());
            return settings.clientThreads >= 1 && settings.clientThreads <= 2;
        }
        return false;
    });
    redirectLog(options.logMode);
    const int deadline = options.deadlineSeconds ? options.deadlineSeconds : 60 + 2 * options.runs * 30;
    setDeadline(deadline);
    const std::uint64_t limit = raiseDescriptorLimit();
    if (limit < static_cast<std::uint64_t>(2 * settings.connections + 64))
        fail("RLIMIT_NOFILE hard limit " + std::to_string(limit) + " is too low");

    report("== accept rate: %d loopback connections from %d client thread(s), %d runs each ==",
           settings.connections, settings.clientThreads, options.runs);
    report("   %s; RLIMIT_NOFILE %llu; overall deadline %d s", describeLog(options.logMode),
           static_cast<unsigned long long>(limit), deadline);
    report("   load averages before: %s (2 cores; anything else running skews the figures)", loadAverages().c_str());

    std::vector<double> baselineRates;
    std::vector<double> ourRates;
    for (int run = 1; run <= options.runs; ++run) {
        const double baseline = runBaseline(settings);
        const double ours = runOurs(settings);
        baselineRates.push_back(settings.connections / baseline);
        ourRates.push_back(settings.connections / ours);
        report("run %d: plain accept loop %.0f conn/s (%.3f s) | Brindlewick %.0f conn/s (%.3f s) | ratio %.3f", run,
               baselineRates.back(), baseline, ourRates.back(), ours, ourRates.back() / baselineRates.back());
    }

    const double baselineMedian = median(baselineRates);
    const double ourMedian = median(ourRates);
    const double ratio = ourMedian / baselineMedian;
    report("   load averages after: %s", loadAverages().c_str());
    report("median: plain accept loop %.0f conn/s, Brindlewick %.0f conn/s, ratio %.3f (goal >= 0.70: %s)",
           baselineMedian, ourMedian, ratio, ratio >= 0.7 ? "met" : "NOT met");
    report("RESULT accept_rate ours=%.0fconn/s baseline=%.0fconn/s ratio=%.3f goal=>=0.70 %s", ourMedian,
           baselineMedian, ratio, ratio >= 0.7 ? "met" : "not-met");
    return 0;
}
