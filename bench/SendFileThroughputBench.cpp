// File sending throughput: Session::sendFile streams a file to one loopback
// client that reads to nowhere, against a plain loop in the same run that
// read(2)s the same file in blocks of the same size and write(2)s each block
// to a connected loopback socket; sendfile(2) is measured as well, for
// information. The runs alternate and each figure is the median of the runs.

#include "AllocatorTuning.h"
#include "BenchSupport.h"

#include "Core.h"
#include "ProtocolBase.h"
#include "Session.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

using namespace Bench;

namespace
{
const char usage[] = "usage: bench_send_file [--mib=1024] [--file=PATH] [--runs=3] [--log=devnull|discard]\n"
                     "                       [--deadline=SECONDS]\n";

constexpr std::size_t clientBufferSize = 1 << 20;

struct RunResult
{
    double seconds = 0;
    // Process CPU time less the client thread's: what sending cost.
    double senderCpuSeconds = 0;
    std::uint64_t bytes = 0;
    double rate() const { return double(bytes) / seconds; }
    double cpuPerGiB() const { return senderCpuSeconds / (double(bytes) / double(1u << 30)); }
};

// Connects, then reads to nowhere until the peer ends the stream or total
// bytes have come; the time and process CPU of the last byte are kept.
class Client
{
public:
    Client(unsigned short port, std::uint64_t total)
        : thread([this, port, total] { run(port, total); })
    {
    }

    void join() { thread.join(); }

    std::uint64_t received = 0;
    Clock::time_point endTime;
    double endProcessCpu = 0;
    double cpuSeconds = 0;

private:
    void run(unsigned short port, std::uint64_t total)
    {
        const double threadStart = threadCpuSeconds();
        const int fd = connectLoopback(port);
        std::vector<char> buffer(clientBufferSize);
        while (received < total) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            received += static_cast<std::uint64_t>(n);
        }
        endTime = Clock::now();
        endProcessCpu = processCpuSeconds();
        cpuSeconds = threadCpuSeconds() - threadStart;
        ::close(fd);
    }

    std::thread thread;
};

struct Start
{
    Clock::time_point time;
    double processCpu = 0;
    void mark()
    {
        time = Clock::now();
        processCpu = processCpuSeconds();
    }
};

RunResult finishRun(Client& client, const Start& start)
{
    RunResult result;
    result.bytes = client.received;
    result.seconds = seconds(client.endTime - start.time);
    result.senderCpuSeconds = client.endProcessCpu - start.processCpu - client.cpuSeconds;
    return result;
}

enum class Plain { ReadWrite, SendFile };

RunResult runPlain(Plain kind, const std::string& path, std::uint64_t size)
{
    unsigned short port = 0;
    const int listener = listenLoopback(port, 4);
    Client client(port, size);
    const int socket = ::accept(listener, nullptr, nullptr);
    if (socket < 0)
        fail("accept failed");
    Start start;
    start.mark();
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0)
        fail("cannot open " + path);
    if (kind == Plain::ReadWrite) {
        std::vector<char> block(Session::fileBlockSize);
        for (;;) {
            const ssize_t n = ::read(file, block.data(), block.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            sendAll(socket, block.data(), static_cast<std::size_t>(n));
        }
    } else {
        off_t offset = 0;
        while (static_cast<std::uint64_t>(offset) < size)
            if (::sendfile(socket, file, &offset, size - static_cast<std::uint64_t>(offset)) <= 0 && errno != EINTR)
                fail("sendfile failed");
    }
    ::close(file);
    client.join();
    ::close(socket);
    ::close(listener);
    return finishRun(client, start);
}

RunResult runOurs(const std::string& path, std::uint64_t size)
{
    Start start;
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t id = 0;
    std::string error;
    boost::shared_ptr<ProtocolBase> protocol;
    Core core;
    core.setListenPort(0);
    core.setProtocolType(ProtocolFactory::PLAIN_TEXT);
    core.newProtocolSignal.connect([&](boost::shared_ptr<ProtocolBase> accepted) {
        accepted->start();
        std::lock_guard<std::mutex> lock(mutex);
        start.mark();
        id = accepted->sendFile(path, error);
        protocol = std::move(accepted);
        changed.notify_all();
    });
    core.startListening();
    Client client(core.getBoundPort(), size);
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return protocol != nullptr; });
        if (id == 0)
            fail("sendFile refused the file: " + error);
    }
    client.join();
    protocol->close();
    protocol.reset();
    core.shutdown();
    return finishRun(client, start);
}

std::string makeFile(std::uint64_t size)
{
    char pattern[] = "/tmp/bench-send-file-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd < 0)
        fail("cannot make a temporary file");
    std::vector<char> block(1 << 20);
    std::uint32_t state = 12345;
    for (char& byte : block) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    for (std::uint64_t written = 0; written < size;) {
        const std::size_t n = std::min<std::uint64_t>(block.size(), size - written);
        if (::write(fd, block.data(), n) != static_cast<ssize_t>(n))
            fail("cannot write the temporary file");
        written += n;
    }
    ::close(fd);
    return pattern;
}

std::uint64_t fileSize(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail("cannot open " + path);
    const off_t size = ::lseek(fd, 0, SEEK_END);
    ::close(fd);
    return static_cast<std::uint64_t>(size);
}
}

int main(int argc, char** argv)
{
    keepChunkSizedBlocksForReuse(); // as the program's main does
    std::uint64_t size = 1024ull << 20;
    std::string givenPath;
    const CommonOptions options = parseOptions(argc, argv, usage, [&](const std::string& name, const std::string& value) {
        if (name == "--mib") {
            size = std::strtoull(value.c_str(), nullptr, 10) << 20;
            return size > 0 && size <= (8ull << 30);
        }
        if (name == "--file") {
            givenPath = value;
            return !value.empty();
        }
        return false;
    });
    redirectLog(options.logMode);
    const int deadline = options.deadlineSeconds ? options.deadlineSeconds : 60 + 3 * options.runs * 60;
    setDeadline(deadline);

    const std::string path = givenPath.empty() ? makeFile(size) : givenPath;
    size = fileSize(path);
    report("== send file: %.0f MiB to one loopback client reading to nowhere, %zu-byte blocks, %d runs each ==",
           double(size) / (1 << 20), Session::fileBlockSize, options.runs);
    report("   %s; overall deadline %d s; file %s", describeLog(options.logMode), deadline, path.c_str());
    report("   load averages before: %s (2 cores; anything else running skews the figures)", loadAverages().c_str());

    // A first pass brings the file into the page cache for every side alike.
    runPlain(Plain::ReadWrite, path, size);

    std::vector<double> plainRates, sendfileRates, ourRates, plainCpu, ourCpu;
    for (int run = 1; run <= options.runs; ++run) {
        const RunResult plain = runPlain(Plain::ReadWrite, path, size);
        const RunResult ours = runOurs(path, size);
        const RunResult kernel = runPlain(Plain::SendFile, path, size);
        for (const RunResult* result : {&plain, &ours, &kernel})
            if (result->bytes != size)
                fail("the client got " + std::to_string(result->bytes) + " bytes");
        plainRates.push_back(plain.rate());
        ourRates.push_back(ours.rate());
        sendfileRates.push_back(kernel.rate());
        plainCpu.push_back(plain.cpuPerGiB());
        ourCpu.push_back(ours.cpuPerGiB());
        report("run %d: read+write loop %.3f GB/s | Brindlewick %.3f GB/s | sendfile(2) %.3f GB/s | ratio %.3f", run,
               plain.rate() / 1e9, ours.rate() / 1e9, kernel.rate() / 1e9, ours.rate() / plain.rate());
        report("   sending CPU: read+write %.0f ms/GiB | Brindlewick %.0f ms/GiB | sendfile %.0f ms/GiB",
               plain.cpuPerGiB() * 1e3, ours.cpuPerGiB() * 1e3, kernel.cpuPerGiB() * 1e3);
    }
    if (givenPath.empty())
        ::unlink(path.c_str());

    const double plainMedian = median(plainRates);
    const double ourMedian = median(ourRates);
    const double ratio = ourMedian / plainMedian;
    report("   load averages after: %s", loadAverages().c_str());
    report("median: read+write loop %.3f GB/s, Brindlewick %.3f GB/s, ratio %.3f (goal >= 0.80: %s); "
           "sendfile(2) %.3f GB/s",
           plainMedian / 1e9, ourMedian / 1e9, ratio, ratio >= 0.8 ? "met" : "NOT met", median(sendfileRates) / 1e9);
    report("median sending CPU: read+write loop %.0f ms/GiB, Brindlewick %.0f ms/GiB", median(plainCpu) * 1e3,
           median(ourCpu) * 1e3);
    report("RESULT send_file ours=%.3fGB/s baseline=%.3fGB/s ratio=%.3f goal=>=0.80 %s", ourMedian / 1e9,
           plainMedian / 1e9, ratio, ratio >= 0.8 ? "met" : "not-met");
    return 0;
}
