// Resident memory per idle connection: a fixed number of loopback clients
// connect and send nothing; every connection's protocol object is kept and
// started, so each Session has a read outstanding. The growth of VmRSS,
// less the growth for the same client sockets connected to a plain blocking
// listener, is divided by the number of connections.
//
// Each run is a child process of its own, so that no run inherits a heap
// that an earlier one has already grown; the parent starts no thread.

#include "AllocatorTuning.h"
#include "BenchSupport.h"

#include "Core.h"
#include "ProtocolBase.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

using namespace Bench;

namespace
{
const char usage[] =
    "usage: bench_idle_memory [--connections=1000] [--settle-ms=500] [--runs=3]\n"
    "                         [--log=devnull|discard] [--deadline=SECONDS]\n";

struct Settings
{
    int connections = 1000;
    int settleMs = 500;
};

struct Growth
{
    std::int64_t rss = 0;
    std::int64_t pageTables = 0;
    std::int64_t addressSpace = 0;
};

struct Snapshot
{
    std::int64_t rss = procStatusBytes("VmRSS");
    std::int64_t pageTables = procStatusBytes("VmPTE");
    std::int64_t addressSpace = procStatusBytes("VmSize");

    Growth operator-(const Snapshot& before) const
    {
        return {rss - before.rss, pageTables - before.pageTables, addressSpace - before.addressSpace};
    }
};

// What a child sends back to the parent through a pipe.
struct ChildResult
{
    Growth plain;
    Growth ours;
};

void settle(const Settings& settings)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(settings.settleMs));
}

std::vector<int> connectClients(const Settings& settings, unsigned short port)
{
    std::vector<int> clients;
    clients.reserve(settings.connections);
    for (int i = 0; i < settings.connections; ++i)
        clients.push_back(connectLoopback(port));
    return clients;
}

Growth measurePlain(const Settings& settings)
{
    unsigned short port = 0;
    const int listener = listenLoopback(port, SOMAXCONN);
    std::vector<int> accepted;
    accepted.reserve(settings.connections);
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
    });
    settle(settings);
    const Snapshot before;
    std::vector<int> clients = connectClients(settings, port);
    acceptor.join();
    settle(settings);
    const Growth growth = Snapshot() - before;
    closeAll(clients);
    closeAll(accepted);
    ::close(listener);
    return growth;
}

Growth measureOurs(const Settings& settings)
{
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<boost::shared_ptr<ProtocolBase>> protocols;
    protocols.reserve(settings.connections);
    // Nothing is sent, so only the end-of-reading chunks of the close reach it.
    auto receivedBytes = std::make_shared<std::atomic<std::uint64_t>>(0);
    Growth growth;
    {
        Core core;
        core.setListenPort(0);
        core.setProtocolType(ProtocolFactory::PLAIN_TEXT);
        core.newProtocolSignal.connect([&](boost::shared_ptr<ProtocolBase> protocol) {
            protocol->readDataSignal.connect([receivedBytes](std::string data) { *receivedBytes += data.size(); });
            protocol->start();
            std::lock_guard<std::mutex> lock(mutex);
            protocols.push_back(std::move(protocol));
            changed.notify_all();
        });
        core.startListening();
        settle(settings);

        const Snapshot before;
        std::vector<int> clients = connectClients(settings, core.getBoundPort());
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (!changed.wait_for(lock, std::chrono::seconds(60),
                                  [&] { return static_cast<int>(protocols.size()) >= settings.connections; }))
                fail("not every connection was announced in time");
        }
        // Lets every posted start() issue its read before the snapshot.
        settle(settings);
        growth = Snapshot() - before;

        core.stopListening();
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (auto& protocol : protocols)
                protocol->close();
            protocols.clear();
        }
        closeAll(clients);
        core.shutdown();
    }
    if (*receivedBytes != 0)
        fail("idle connections received data");
    return growth;
}

ChildResult runChild(const Settings& settings, const CommonOptions& options)
{
    setDeadline(options.deadlineSeconds ? options.deadlineSeconds : 60);
    ChildResult result;
    result.plain = measurePlain(settings);
    result.ours = measureOurs(settings);
    return result;
}

ChildResult runInChild(const Settings& settings, const CommonOptions& options)
{
    int channel[2];
    if (::pipe(channel) != 0)
        fail("pipe failed");
    const pid_t child = ::fork();
    if (child < 0)
        fail("fork failed");
    if (child == 0) {
        ::close(channel[0]);
        const ChildResult result = runChild(settings, options);
        const ssize_t written = ::write(channel[1], &result, sizeof result);
        _exit(written == static_cast<ssize_t>(sizeof result) ? 0 : 1);
    }
    ::close(channel[1]);
    ChildResult result;
    std::size_t got = 0;
    while (got < sizeof result) {
        const ssize_t n = ::read(channel[0], reinterpret_cast<char*>(&result) + got, sizeof result - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (got != sizeof result || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("a measuring child process failed");
    return result;
}

double perConnection(std::int64_t bytes, const Settings& settings)
{
    return double(bytes) / settings.connections / 1024.0;
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
        if (name == "--settle-ms") {
            settings.settleMs = std::atoi(value.c_str());
            return settings.settleMs >= 0 && settings.settleMs <= 5000;
        }
        return false;
    });
    redirectLog(options.logMode);
    const std::uint64_t limit = raiseDescriptorLimit();
    if (limit < static_cast<std::uint64_t>(2 * settings.connections + 64))
        fail("RLIMIT_NOFILE hard limit " + std::to_string(limit) + " is too low");
    const int childDeadline = options.deadlineSeconds ? options.deadlineSeconds : 60;
    setDeadline(30 + options.runs * (childDeadline + 5));

    report("== idle memory: %d loopback connections, protocols started and kept, nothing sent; %d runs, "
           "each in a fresh child process ==",
           settings.connections, options.runs);
    report("   %s; RLIMIT_NOFILE %llu; KiB per connection = growth / %d", describeLog(options.logMode),
           static_cast<unsigned long long>(limit), settings.connections);
    report("   load averages before: %s (2 cores; anything else running skews the figures)", loadAverages().c_str());

    std::vector<double> plainRss;
    std::vector<double> ourRss;
    std::vector<double> netRss;
    std::vector<double> netPageTables;
    std::vector<double> netAddressSpace;
    for (int run = 1; run <= options.runs; ++run) {
        const ChildResult result = runInChild(settings, options);
        plainRss.push_back(perConnection(result.plain.rss, settings));
        ourRss.push_back(perConnection(result.ours.rss, settings));
        netRss.push_back(perConnection(result.ours.rss - result.plain.rss, settings));
        netPageTables.push_back(perConnection(result.ours.pageTables - result.plain.pageTables, settings));
        netAddressSpace.push_back(perConnection(result.ours.addressSpace - result.plain.addressSpace, settings));
        report("run %d: VmRSS growth per connection: plain listener %.2f KiB, Brindlewick %.2f KiB, net %.2f KiB "
               "(page tables %.2f KiB, address space %.0f KiB, not in VmRSS)",
               run, plainRss.back(), ourRss.back(), netRss.back(), netPageTables.back(), netAddressSpace.back());
    }
    const double net = median(netRss);
    report("   load averages after: %s", loadAverages().c_str());
    report("median: %.2f KiB resident per idle connection (plain listener baseline %.2f KiB subtracted; "
           "goal < 16 KiB: %s)",
           net, median(plainRss), net < 16 ? "met" : "NOT met");
    report("RESULT idle_memory ours=%.2fKiB/conn baseline=%.2fKiB/conn(subtracted) ratio=- goal=<16KiB %s", net,
           median(plainRss), net < 16 ? "met" : "not-met");
    return 0;
}
