#include "GuiBenchSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <streambuf>

extern char** environ;

namespace GuiBench
{
namespace
{
class DiscardingBuffer : public std::streambuf
{
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

void onDeadline(int)
{
    static const char message[] = "benchmark deadline passed: giving up\n";
    ssize_t ignored = ::write(2, message, sizeof message - 1);
    (void)ignored;
    _exit(3);
}
}

void discardLog()
{
    static DiscardingBuffer discarding;
    std::cout.rdbuf(&discarding);
}

namespace
{
FILE*& reportFile()
{
    static FILE* file = stdout;
    return file;
}
}

void report(const std::string& key, const std::string& value)
{
    std::fprintf(reportFile(), "%s=%s\n", key.c_str(), value.c_str());
    std::fflush(reportFile());
}

void report(const std::string& key, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", value);
    report(key, std::string(text));
}

void report(const std::string& key, std::int64_t value)
{
    report(key, std::to_string(value));
}

void setDeadline(int seconds)
{
    struct sigaction action {};
    action.sa_handler = onDeadline;
    sigaction(SIGALRM, &action, nullptr);
    alarm(static_cast<unsigned>(seconds));
}

void forEachOption(int argc, char** argv,
                   const std::function<void(const std::string& name, const std::string& value)>& handle)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        handle(arg.substr(0, eq), eq == std::string::npos ? std::string() : arg.substr(eq + 1));
    }
}

bool parseSize(const std::string& text, QSize& size)
{
    int w = 0, h = 0;
    if (std::sscanf(text.c_str(), "%dx%d", &w, &h) != 2 || w <= 0 || h <= 0)
        return false;
    size = QSize(w, h);
    return true;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    std::size_t rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    rank = std::clamp<std::size_t>(rank, 1, values.size());
    return values[rank - 1];
}

TemporaryConfigHome::TemporaryConfigHome()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "brindlewick-gbench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    path = pattern;
    setenv("XDG_CONFIG_HOME", path.c_str(), 1);
}

TemporaryConfigHome::~TemporaryConfigHome()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

double ChildResult::number(const std::string& key, double fallback) const
{
    const auto it = values.find(key);
    if (it == values.end())
        return fallback;
    char* end = nullptr;
    const double value = std::strtod(it->second.c_str(), &end);
    return end == it->second.c_str() ? fallback : value;
}

std::string ChildResult::text(const std::string& key) const
{
    const auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

ChildResult runSelf(const std::vector<std::string>& args, int deadlineSeconds)
{
    return runSelf(args, deadlineSeconds, SpawnOptions{});
}

ChildResult runSelf(const std::vector<std::string>& args, int deadlineSeconds, const SpawnOptions& options)
{
    ChildResult result;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.failure = "pipe failed";
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.stdoutToDevNull) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 3);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    }

    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::vector<char*> argv;
    argv.push_back(self.data());
    std::vector<std::string> copies = args;
    for (std::string& arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    std::vector<std::string> environment;
    for (char** variable = environ; *variable; ++variable)
        environment.emplace_back(*variable);
    if (options.stdoutToDevNull)
        environment.push_back(std::string(reportDescriptorVariable) + "=3");
    std::vector<char*> envp;
    for (std::string& variable : environment)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    const auto started = Clock::now();
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        result.failure = std::string("spawn failed: ") + std::strerror(spawned);
        return result;
    }

    const auto deadline = started + std::chrono::seconds(deadlineSeconds);
    std::string output;
    bool timedOut = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd entry{pipeFds[0], POLLIN, 0};
        const int ready = poll(&entry, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        output.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
    if (timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.wallSeconds = seconds(Clock::now() - started);

    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            result.values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    if (timedOut)
        result.failure = "killed after " + std::to_string(deadlineSeconds) + " s";
    else if (WIFSIGNALED(status))
        result.failure = std::string("ended by signal ") + strsignal(WTERMSIG(status));
    else if (WEXITSTATUS(status) != 0)
        result.failure = "exit status " + std::to_string(WEXITSTATUS(status));
    else
        result.ok = true;
    if (!result.ok && result.values.count("error"))
        result.failure += ": " + result.values["error"];
    return result;
}

LatenessProbe::LatenessProbe(int intervalMs, std::function<void()> onTick)
    : intervalMs(intervalMs)
    , onTick(std::move(onTick))
{
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, this, [this] { tick(); });
}

void LatenessProbe::start()
{
    running = true;
    started.start();
    armed.start();
    timer.start(intervalMs);
}

void LatenessProbe::stop()
{
    running = false;
    timer.stop();
}

void LatenessProbe::tick()
{
    const double late = static_cast<double>(armed.nsecsElapsed()) / 1e6 - intervalMs;
    samples.push_back(std::max(0.0, late));
    times.push_back(static_cast<double>(started.nsecsElapsed()) / 1e9);
    if (onTick)
        onTick();
    if (running) {
        armed.start();
        timer.start(intervalMs);
    }
}

void fail(const std::string& message)
{
    report("error", message);
    std::fprintf(stderr, "%s\n", message.c_str());
    std::exit(2);
}

int connectLoopback(unsigned short port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail(std::string("socket: ") + std::strerror(errno));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    while (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINTR)
            fail(std::string("connect: ") + std::strerror(errno));
    }
    return fd;
}

int listenLoopback(unsigned short& port, int backlog)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail(std::string("socket: ") + std::strerror(errno));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0)
        fail(std::string("bind/listen: ") + std::strerror(errno));
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

void sendAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail(std::string("send: ") + std::strerror(errno));
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void makeFloodChunk(int index, std::string& out)
{
    static const char printable[] = "!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                    "[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~";
    constexpr std::size_t printableCount = sizeof printable - 1;
    constexpr std::size_t linesPerChunk = floodChunkSize / floodLineLength;
    out.resize(floodChunkSize);
    char* p = out.data();
    for (std::size_t i = 0; i < linesPerChunk; ++i) {
        const std::size_t line = static_cast<std::size_t>(index) * linesPerChunk + i;
        std::snprintf(p, 12, "%010zu ", line); // 11 characters and a NUL that the next write covers
        for (std::size_t c = 11; c < floodLineLength - 1; ++c)
            p[c] = printable[(line + c) % printableCount];
        p[floodLineLength - 1] = '\n';
        p += floodLineLength;
    }
}

FloodChecker::FloodChecker(int chunks)
    : chunks(chunks)
{
}

void FloodChecker::startAt(std::size_t byte)
{
    nextChunk = static_cast<int>(byte / floodChunkSize);
    chunk.clear();
    offset = 0;
    if (nextChunk < chunks) {
        makeFloodChunk(nextChunk++, chunk);
        offset = byte % floodChunkSize;
    }
    consumed = byte;
}

bool FloodChecker::fill()
{
    if (offset < chunk.size())
        return true;
    if (nextChunk >= chunks)
        return false;
    makeFloodChunk(nextChunk++, chunk);
    offset = 0;
    return true;
}

bool FloodChecker::block(QStringView text, bool first)
{
    if (!error.empty())
        return false;
    // The break before this block: a '\n' of the text, or one the widget added.
    if (!first && fill() && chunk[offset] == '\n') {
        ++offset;
        ++consumed;
    }
    for (qsizetype i = 0; i < text.size();) {
        if (!fill()) {
            error = "document longer than the text at byte " + std::to_string(consumed);
            return false;
        }
        const qsizetype run = std::min<qsizetype>(text.size() - i, static_cast<qsizetype>(chunk.size() - offset));
        for (qsizetype j = 0; j < run; ++j) {
            if (text[i + j].unicode() != static_cast<unsigned char>(chunk[offset + static_cast<std::size_t>(j)])) {
                error = "mismatch at byte " + std::to_string(consumed + static_cast<std::size_t>(j));
                return false;
            }
        }
        i += run;
        offset += static_cast<std::size_t>(run);
        consumed += static_cast<std::size_t>(run);
    }
    return true;
}

bool FloodChecker::complete() const
{
    return error.empty() && nextChunk >= chunks && offset >= chunk.size();
}

void reportToDescriptorFromEnvironment()
{
    const char* value = std::getenv(reportDescriptorVariable);
    if (!value || !*value)
        return;
    FILE* file = fdopen(std::atoi(value), "w");
    if (!file)
        fail(std::string("report descriptor: ") + std::strerror(errno));
    reportFile() = file;
    unsetenv(reportDescriptorVariable);
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto toSeconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}
}
