#include "BenchSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <streambuf>

namespace Bench
{
namespace
{
FILE* reportStream = stdout;

class DiscardBuffer : public std::streambuf
{
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

DiscardBuffer discardBuffer;

void onDeadline(int)
{
    // Only async-signal-safe calls here.
    static const char message[] = "benchmark: overall deadline passed, giving up\n";
    ssize_t ignored = ::write(STDERR_FILENO, message, sizeof message - 1);
    (void)ignored;
    _exit(3);
}

struct LoopbackAddress
{
    sockaddr_storage storage{};
    socklen_t length = 0;

    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
    // The port lies at the same place in both families.
    unsigned short port() const { return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port); }
};

LoopbackAddress loopbackAddress(unsigned short port, Family family)
{
    LoopbackAddress address;
    if (family == Family::Ipv6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        v6->sin6_addr = in6addr_loopback;
        address.length = sizeof(sockaddr_in6);
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.length = sizeof(sockaddr_in);
    }
    return address;
}

int familyOf(Family family)
{
    return family == Family::Ipv6 ? AF_INET6 : AF_INET;
}
}

const char* loopbackText(Family family)
{
    return family == Family::Ipv6 ? "::1" : "127.0.0.1";
}

CommonOptions parseOptions(int argc, char** argv, const char* usage,
                           const std::function<bool(const std::string& name, const std::string& value)>& extra,
                           int defaultRuns)
{
    CommonOptions options;
    options.runs = defaultRuns;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : argument.substr(equals + 1);
        bool ok = true;
        if (name == "--help" || name == "-h") {
            std::fprintf(stdout, "%s", usage);
            std::exit(0);
        } else if (name == "--log" && value == "devnull") {
            options.logMode = LogMode::DevNull;
        } else if (name == "--log" && value == "discard") {
            options.logMode = LogMode::Discard;
        } else if (name == "--runs") {
            options.runs = std::atoi(value.c_str());
            ok = options.runs >= 1 && options.runs <= 99;
        } else if (name == "--deadline") {
            options.deadlineSeconds = std::atoi(value.c_str());
            ok = options.deadlineSeconds >= 1;
        } else {
            ok = extra(name, value);
        }
        if (!ok) {
            std::fprintf(stderr, "bad argument: %s\n%s", argument.c_str(), usage);
            std::exit(2);
        }
    }
    return options;
}

void redirectLog(LogMode mode)
{
    if (mode == LogMode::Discard) {
        std::cout.rdbuf(&discardBuffer);
        return;
    }
    const int original = ::dup(STDOUT_FILENO);
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (original < 0 || devNull < 0)
        fail("cannot redirect stdout to /dev/null");
    std::fflush(stdout);
    ::dup2(devNull, STDOUT_FILENO);
    ::close(devNull);
    ::fcntl(original, F_SETFD, FD_CLOEXEC);
    reportStream = ::fdopen(original, "w");
    if (!reportStream)
        fail("cannot open the report stream");
}

const char* describeLog(LogMode mode)
{
    return mode == LogMode::DevNull
               ? "log lines written to /dev/null (fd 1 redirected: formatting + one write(2) per line)"
               : "log lines dropped by a discarding std::cout streambuf (formatting only, no syscall)";
}

void report(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(reportStream, format, arguments);
    va_end(arguments);
    std::fputc('\n', reportStream);
    std::fflush(reportStream);
}

void setDeadline(int seconds)
{
    struct sigaction action{};
    action.sa_handler = onDeadline;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGALRM, &action, nullptr);
    ::alarm(static_cast<unsigned>(seconds));
}

std::uint64_t raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        fail("getrlimit failed");
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        fail("setrlimit failed");
    return limit.rlim_cur;
}

std::int64_t procStatusBytes(const char* field)
{
    std::ifstream status("/proc/self/status");
    const std::string prefix = std::string(field) + ":";
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::atoll(line.c_str() + prefix.size()) * 1024;
    }
    fail(std::string("no ") + field + " in /proc/self/status");
}

std::string loadAverages()
{
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double processCpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double threadCpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

int listenLoopback(unsigned short& port, int backlog, Family family)
{
    const int fd = ::socket(familyOf(family), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail(std::string("socket: ") + std::strerror(errno));
    LoopbackAddress address = loopbackAddress(0, family);
    if (::bind(fd, address.get(), address.length) != 0)
        fail(std::string("bind: ") + std::strerror(errno));
    if (::listen(fd, backlog) != 0)
        fail(std::string("listen: ") + std::strerror(errno));
    socklen_t length = sizeof address.storage;
    ::getsockname(fd, address.get(), &length);
    port = address.port();
    return fd;
}

int connectLoopback(unsigned short port, Family family)
{
    const int fd = ::socket(familyOf(family), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail(std::string("socket: ") + std::strerror(errno));
    LoopbackAddress address = loopbackAddress(port, family);
    for (;;) {
        if (::connect(fd, address.get(), address.length) == 0)
            return fd;
        if (errno != EINTR)
            fail(std::string("connect: ") + std::strerror(errno));
    }
}

void sendAll(int fd, const char* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(std::string("send: ") + std::strerror(errno));
        }
        done += static_cast<std::size_t>(n);
    }
}

void closeAll(std::vector<int>& fds)
{
    for (int fd : fds)
        ::close(fd);
    fds.clear();
}

void fail(const std::string& message)
{
    std::fprintf(stderr, "benchmark failed: %s\n", message.c_str());
    std::fflush(stderr);
    _exit(1);
}
}
