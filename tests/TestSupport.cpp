#include "TestSupport.h"

#include "FileDescriptors.h"
#include "Log.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>

namespace TestSupport
{
bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

std::string patternBytes(std::size_t size, std::uint32_t seed)
{
    std::string out(size, '\0');
    std::uint32_t state = seed * 2654435761u + 0x9e3779b9u;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        out[i] = static_cast<char>(state >> 24);
    }
    return out;
}

unsigned short pickFreePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    unsigned short port = 0;
    socklen_t length = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(s);
    return port;
}

Squatter::Squatter()
{
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 1) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
}

Squatter::~Squatter()
{
    if (fd >= 0)
        ::close(fd);
}

// Lines go out through the log's writer thread: the stream is switched only
// once that thread has written everything queued before.
LogCapture::LogCapture()
    : previous((Log::flush(), std::cout.rdbuf(this)))
{
}

LogCapture::~LogCapture()
{
    Log::flush();
    std::cout.rdbuf(previous);
}

std::string LogCapture::text()
{
    Log::flush();
    std::lock_guard<std::mutex> lock(mutex);
    return captured;
}

std::vector<std::string> LogCapture::lines()
{
    const std::string all = text();
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\n', start);
        if (end == std::string::npos)
            end = all.size();
        out.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

int LogCapture::countLinesStartingWith(const std::string& prefix)
{
    int count = 0;
    for (const auto& line : lines())
        if (line.compare(0, prefix.size(), prefix) == 0)
            ++count;
    return count;
}

bool LogCapture::waitForLineStartingWith(const std::string& prefix, int times,
                                         std::chrono::milliseconds timeout)
{
    return waitUntil([&] { return countLinesStartingWith(prefix) >= times; }, timeout);
}

std::vector<std::size_t> LogCapture::gotByteCounts()
{
    std::vector<std::size_t> counts;
    const std::string prefix = "got ";
    const std::string suffix = " bytes.";
    for (const auto& line : lines()) {
        if (line.size() > prefix.size() + suffix.size() && line.compare(0, prefix.size(), prefix) == 0
            && line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
            counts.push_back(std::strtoull(line.c_str() + prefix.size(), nullptr, 10));
    }
    return counts;
}

int LogCapture::countLines(const std::string& line)
{
    const std::string all = text();
    int count = 0;
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\n', start);
        if (end == std::string::npos)
            end = all.size();
        if (all.compare(start, end - start, line) == 0 && end - start == line.size())
            ++count;
        start = end + 1;
    }
    return count;
}

bool LogCapture::waitForLine(const std::string& line, int times, std::chrono::milliseconds timeout)
{
    return waitUntil([&] { return countLines(line) >= times; }, timeout);
}

int LogCapture::overflow(int c)
{
    if (c != traits_type::eof()) {
        std::lock_guard<std::mutex> lock(mutex);
        captured.push_back(static_cast<char>(c));
    }
    return traits_type::not_eof(c);
}

std::streamsize LogCapture::xsputn(const char* s, std::streamsize n)
{
    std::lock_guard<std::mutex> lock(mutex);
    captured.append(s, static_cast<std::size_t>(n));
    return n;
}

TestClient::TestClient(unsigned short port)
{
    connect(port);
}

TestClient::~TestClient()
{
    close();
}

TestClient::TestClient(TestClient&& other) noexcept
    : fd(other.fd)
{
    other.fd = -1;
}

bool TestClient::open(int receiveBuffer, int sendBuffer)
{
    close();
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (sendBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    return true;
}

bool TestClient::connect(unsigned short port)
{
    return open() && connectOpened(port);
}

bool TestClient::connectTo(const std::string& address, unsigned short port)
{
    close();
    sockaddr_in6 v6{};
    sockaddr_in v4{};
    const bool ipv6 = ::inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) == 1;
    if (!ipv6 && ::inet_pton(AF_INET, address.c_str(), &v4.sin_addr) != 1)
        return false;
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr* target = ipv6 ? reinterpret_cast<const sockaddr*>(&v6) : reinterpret_cast<const sockaddr*>(&v4);
    if (fd < 0 || ::connect(fd, target, ipv6 ? sizeof v6 : sizeof v4) != 0) {
        close();
        return false;
    }
    return true;
}

bool TestClient::connectOpened(unsigned short port)
{
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close();
        return false;
    }
    return true;
}

// Never blocks for good: a peer that stops reading makes the send fail
// once nothing more was taken for `stall`, so that a failing test reports
// instead of hanging.
bool sendAll(int fd, const std::string& bytes, std::chrono::milliseconds stall)
{
    std::size_t done = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            done += static_cast<std::size_t>(n);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            lastProgress + stall - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 1000)));
    }
    return true;
}

bool TestClient::write(const std::string& bytes)
{
    return sendAll(fd, bytes);
}

std::string TestClient::read(std::size_t n, std::chrono::milliseconds timeout, std::size_t maxPerRecv)
{
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string buffer(65536, '\0');
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        const ssize_t got = ::recv(fd, buffer.data(), std::min({buffer.size(), maxPerRecv, n - out.size()}), 0);
        if (got <= 0)
            break;
        out.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return out;
}

bool TestClient::readUntilClosed(std::string& out, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string buffer(65536, '\0');
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got <= 0)
            return true;
        out.append(buffer.data(), static_cast<std::size_t>(got));
    }
}

bool TestClient::waitForClose(std::chrono::milliseconds timeout)
{
    std::string ignored;
    return readUntilClosed(ignored, timeout);
}

void TestClient::shutdownWrite()
{
    if (fd >= 0)
        ::shutdown(fd, SHUT_WR);
}

void TestClient::close()
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

void TestClient::reset()
{
    if (fd < 0)
        return;
    linger option{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    close();
}

// The port lies at the same place in an IPv4 and an IPv6 address.
unsigned short TestClient::localPort() const
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

void TestClient::setReceiveBuffer(int bytes)
{
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}
}

namespace TestSupport
{
void TestClient::setNonBlocking()
{
    if (fd >= 0)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::size_t TestClient::writeUntilStalled(const std::string& data, std::chrono::milliseconds stall,
                                          std::chrono::milliseconds deadline, bool* stalled)
{
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + deadline;
    auto lastProgress = Clock::now();
    std::size_t done = 0;
    bool stalledOut = false;
    while (done < data.size() && Clock::now() < end) {
        const std::size_t piece = std::min<std::size_t>(65536, data.size() - done);
        const ssize_t n = ::send(fd, data.data() + done, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            lastProgress = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (Clock::now() - lastProgress >= stall) {
                stalledOut = true;
                break;
            }
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 10);
            continue;
        }
        break;
    }
    if (stalled)
        *stalled = stalledOut;
    return done;
}

namespace
{
// Entries of a directory under /proc (not "." and ".."), given by their path,
// for which `counts` says true.
long countEntries(const char* directoryPath, const std::function<bool(const std::string&)>& counts)
{
    long count = 0;
    DIR* directory = ::opendir(directoryPath);
    if (!directory)
        return 0;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.' && counts(std::string(directoryPath) + "/" + entry->d_name))
            ++count;
    }
    ::closedir(directory);
    return count;
}
}

DescriptorLimit::DescriptorLimit()
{
    haveSaved = ::getrlimit(RLIMIT_NOFILE, &saved) == 0;
}

DescriptorLimit::~DescriptorLimit()
{
    restore();
}

bool DescriptorLimit::leaveFree(unsigned int count)
{
    const std::uint64_t open = FileDescriptors::countOpen();
    if (!haveSaved || open == 0 || open + count > saved.rlim_max)
        return false;
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(open + count);
    if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0)
        return false;
    this->lowered = true;
    return true;
}

bool DescriptorLimit::lowerTo(unsigned int total)
{
    if (!haveSaved || total > saved.rlim_max)
        return false;
    rlimit lowered = saved;
    lowered.rlim_cur = total;
    if (::setrlimit(RLIMIT_NOFILE, &lowered) != 0)
        return false;
    this->lowered = true;
    return true;
}

DescriptorBallast::DescriptorBallast(unsigned int total)
{
    for (std::uint64_t open = FileDescriptors::countOpen(); open < total; ++open) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            break;
        held.push_back(fd);
    }
}

DescriptorBallast::~DescriptorBallast()
{
    for (const int fd : held)
        ::close(fd);
}

long DescriptorLimit::freeNow()
{
    return static_cast<long>(FileDescriptors::limit()) - static_cast<long>(FileDescriptors::countOpen());
}

long DescriptorLimit::openSockets()
{
    return countEntries("/proc/self/fd", [](const std::string& path) {
        char target[64];
        const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
        return length > 0 && std::string(target, static_cast<std::size_t>(length)).rfind("socket:", 0) == 0;
    });
}

void DescriptorLimit::restore()
{
    if (lowered) {
        ::setrlimit(RLIMIT_NOFILE, &saved);
        lowered = false;
    }
}

int threadCount()
{
    return static_cast<int>(countEntries("/proc/self/task", [](const std::string&) { return true; }));
}

TemporaryFile::TemporaryFile(const std::string& contents)
{
    char pattern[] = "/tmp/brindlewick-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        return;
    directoryPath = pattern;
    filePath = directoryPath + "/file";
    std::ofstream(filePath, std::ios::binary).write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

TemporaryFile::~TemporaryFile()
{
    if (directoryPath.empty())
        return;
    ::unlink(filePath.c_str());
    ::rmdir(directoryPath.c_str());
}

int readToEnd(int fd, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<char> buffer(65536);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return -1;
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(left.count())) <= 0)
            continue;
        const ssize_t count = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (count == 0)
            return 0;
        if (count < 0 && errno != EINTR && errno != EAGAIN)
            return errno;
    }
}
}
