#include "TestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
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

LogCapture::LogCapture()
    : previous(std::cout.rdbuf(this))
{
}

LogCapture::~LogCapture()
{
    std::cout.rdbuf(previous);
}

std::string LogCapture::text()
{
    std::lock_guard<std::mutex> lock(mutex);
    return captured;
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

bool TestClient::connect(unsigned short port)
{
    close();
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
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

bool TestClient::write(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string TestClient::read(std::size_t n, std::chrono::milliseconds timeout)
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
        const ssize_t got = ::recv(fd, buffer.data(), std::min(buffer.size(), n - out.size()), 0);
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

unsigned short TestClient::localPort() const
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

void TestClient::setReceiveBuffer(int bytes)
{
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}
}
