#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>

namespace TestSupport
{
using namespace std::chrono_literals;

// Polls cond until it holds or the deadline passes.
bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds timeout = 10s);

// Captures everything written to std::cout while it exists. Install it before
// the threads that log are started and destroy it after they have ended.
class LogCapture : private std::streambuf
{
public:
    LogCapture();
    ~LogCapture() override;

    std::string text();
    int countLines(const std::string& line);
    bool waitForLine(const std::string& line, int times = 1, std::chrono::milliseconds timeout = 10s);

private:
    int overflow(int c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

    std::mutex mutex;
    std::string captured;
    std::streambuf* previous;
};

// A blocking TCP client on 127.0.0.1 with deadlines on every wait.
class TestClient
{
public:
    TestClient() = default;
    explicit TestClient(unsigned short port);
    ~TestClient();

    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;
    TestClient(TestClient&& other) noexcept;

    bool connect(unsigned short port);
    bool isConnected() const { return fd >= 0; }
    bool write(const std::string& bytes);
    // Reads exactly n bytes, or fewer if the peer closes or the deadline passes.
    std::string read(std::size_t n, std::chrono::milliseconds timeout = 10s);
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

private:
    int fd = -1;
};
}
