#pragma once

#include <sys/resource.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace TestSupport
{
using namespace std::chrono_literals;

// Polls cond until it holds or the deadline passes.
bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout = 10s);

// Deterministic pseudo-random bytes (zero bytes included) for bulk transfers.
std::string patternBytes(std::size_t size, std::uint32_t seed);

// A TCP port on 127.0.0.1 that was free a moment ago: bound to port 0, read
// back and released. Another process may take it in between; callers retry.
unsigned short pickFreePort();

// A socket listening on 127.0.0.1 at a port the system picks, which keeps
// others from binding that port.
class Squatter
{
public:
    Squatter();
    ~Squatter();

    Squatter(const Squatter&) = delete;
    Squatter& operator=(const Squatter&) = delete;

    unsigned short port = 0;

private:
    int fd = -1;
};

// Sends all of bytes on a connected socket; false on an error or when the
// peer took nothing for `stall`.
bool sendAll(int fd, const std::string& bytes, std::chrono::milliseconds stall = 30s);

// Captures everything written to std::cout while it exists. Install it before
// the threads that log are started and destroy it after they have ended.
class LogCapture : private std::streambuf
{
public:
    LogCapture();
    ~LogCapture() override;

    std::string text();
    std::vector<std::string> lines();
    int countLines(const std::string& line);
    int countLinesStartingWith(const std::string& prefix);
    bool waitForLine(const std::string& line, int times = 1, std::chrono::milliseconds timeout = 10s);
    bool waitForLineStartingWith(const std::string& prefix, int times = 1,
                                 std::chrono::milliseconds timeout = 10s);
    // The numbers N of every "got N bytes." line, in order.
    std::vector<std::size_t> gotByteCounts();

private:
    int overflow(int c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

    std::mutex mutex;
    std::string captured;
    std::streambuf* previous;
};

// A TCP client on 127.0.0.1 with deadlines on every wait.
class TestClient
{
public:
    TestClient() = default;
    explicit TestClient(unsigned short port);
    ~TestClient();

    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;
    TestClient(TestClient&& other) noexcept;

    // Creates the socket without connecting it. Buffer sizes (0: system
    // default) are set here because the receive window is fixed at connect.
    bool open(int receiveBuffer = 0, int sendBuffer = 0);
    // Connects a socket made by open().
    bool connectOpened(unsigned short port);
    bool connect(unsigned short port);
    // Connects to an IPv4 or IPv6 address, with a socket of its family.
    bool connectTo(const std::string& address, unsigned short port);
    bool isConnected() const { return fd >= 0; }
    int handle() const { return fd; }

    bool write(const std::string& bytes);
    // Reads exactly n bytes, or fewer if the peer closes or the deadline passes;
    // at most maxPerRecv bytes are taken from the socket per call.
    std::string read(std::size_t n, std::chrono::milliseconds timeout = 10s, std::size_t maxPerRecv = 65536);
    // Reads until the peer closes; returns false on timeout.
    bool readUntilClosed(std::string& out, std::chrono::milliseconds timeout = 10s);
    // True once the peer has closed (reading yields end of stream or a reset).
    bool waitForClose(std::chrono::milliseconds timeout = 10s);
    void shutdownWrite();
    void close();
    // Closes with SO_LINGER 0 so that the server sees a reset.
    void reset();
    unsigned short localPort() const;
    void setReceiveBuffer(int bytes);
    void setNonBlocking();

    // Offers data to a non-blocking socket until the kernel has accepted all of
    // it, it has accepted nothing more for `stall`, the deadline passes or the
    // connection fails. Returns the number of bytes accepted; *stalled tells
    // whether it ended because nothing more was accepted.
    std::size_t writeUntilStalled(const std::string& data, std::chrono::milliseconds stall,
                                  std::chrono::milliseconds deadline, bool* stalled = nullptr);

private:
    int fd = -1;
};

// Lowers the soft RLIMIT_NOFILE so that only a given number of descriptors
// can still be opened; restores the previous limit when destroyed. Never to
// none: the sanitizers' runtime needs descriptors of its own, and without
// them reports false errors on other threads.
class DescriptorLimit
{
public:
    DescriptorLimit();
    ~DescriptorLimit();

    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;

    bool leaveFree(unsigned int count);
    // Lowers the limit to total descriptors, counted from 0.
    bool lowerTo(unsigned int total);
    // Descriptors that can still be opened under the limit now in force.
    static long freeNow();
    // Sockets open in this process. Unlike freeNow(), not moved by the brief
    // descriptors that the program's own count or a sanitizer's runtime hold
    // while they read /proc.
    static long openSockets();
    void restore();

private:
    rlimit saved{};
    bool haveSaved = false;
    bool lowered = false;
};

// Keeps descriptors (of /dev/null) open until at least `total` are open in
// this process, so that a limit set relative to the open ones is high
// enough for the full descriptor reserve. Closes them when destroyed.
class DescriptorBallast
{
public:
    explicit DescriptorBallast(unsigned int total);
    ~DescriptorBallast();

    DescriptorBallast(const DescriptorBallast&) = delete;
    DescriptorBallast& operator=(const DescriptorBallast&) = delete;

private:
    std::vector<int> held;
};

// A file with the given contents in a directory of its own, both removed
// when it goes out of scope.
class TemporaryFile
{
public:
    explicit TemporaryFile(const std::string& contents);
    ~TemporaryFile();

    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::string& path() const { return filePath; }
    const std::string& directory() const { return directoryPath; }

private:
    std::string directoryPath;
    std::string filePath;
};

// Reads and drops what arrives until the stream ends. Returns 0 for the end
// of the stream, the errno of a failed read (ECONNRESET for a reset), or -1
// when the deadline passed.
int readToEnd(int fd, std::chrono::milliseconds timeout = 20s);

// Number of threads of this process.
int threadCount();

// A thread that is joined when it goes out of scope, so that a failed
// assertion cannot leave it running. Its work must end by itself.
class JoiningThread
{
public:
    template <typename Function>
    explicit JoiningThread(Function&& function)
        : thread(std::forward<Function>(function))
    {
    }
    ~JoiningThread() { join(); }
    JoiningThread(JoiningThread&&) = default;
    void join()
    {
        if (thread.joinable())
            thread.join();
    }

private:
    std::thread thread;
};
}
