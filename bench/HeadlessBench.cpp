// The headless program end to end, against plain baselines measured in the
// same run: one client pushing MiB of data (the program writing its files)
// against `ncat -l > file`, and many short connections (each with its files)
// against a plain accept-read-write loop. See README.md.

#include "BenchSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Bench::Clock;

struct Settings
{
    std::string program = BRINDLEWICK_PROGRAM;
    std::string scratch = "/tmp";
    std::uint64_t mib = 1024;
    int connections = 1000;
};

pid_t spawn(const std::vector<std::string>& arguments, const std::string& output)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDOUT_FILENO);
        std::vector<char*> argv;
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

int waitExit(pid_t pid)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

unsigned short freePort()
{
    unsigned short port = 0;
    ::close(Bench::listenLoopback(port, 1));
    return port;
}

int connectWithRetry(unsigned short port)
{
    for (int attempt = 0; attempt < 500; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return fd;
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Bench::fail("could not connect");
}

// Waits for the first event and reads the port from it.
unsigned short headlessPort(const std::string& events)
{
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::ifstream file(events);
        std::string line;
        if (std::getline(file, line) && line.find("\"port\":") != std::string::npos)
            return static_cast<unsigned short>(std::stoi(line.substr(line.find("\"port\":") + 7)));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Bench::fail("the program did not start listening");
}

// Sends size bytes, ends its sending and waits for the server's end.
void pushAndWait(int fd, std::uint64_t size)
{
    static const std::string block(1024 * 1024, 'x');
    for (std::uint64_t sent = 0; sent < size; sent += block.size())
        Bench::sendAll(fd, block.data(), std::min<std::uint64_t>(block.size(), size - sent));
    ::shutdown(fd, SHUT_WR);
    char buffer[4096];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
    ::close(fd);
}

std::vector<std::string> headless(const Settings& settings, const std::string& folder, const char* connections)
{
    return {settings.program, "--headless", "--listen", "127.0.0.1:0", "--events", folder + "/events.jsonl",
            "--transcript-dir", folder + "/out", "--exit-after-connections", connections, "--timeout", "600"};
}

struct Times
{
    double client = 0; // until the server ended the connection
    double done = 0;   // until the server's files were complete
};

Times pushToNcat(const Settings& settings, const std::string& folder)
{
    const unsigned short port = freePort();
    const pid_t ncat = spawn({"ncat", "-l", "127.0.0.1", std::to_string(port)}, folder + "/ncat.bin");
    const int fd = connectWithRetry(port);
    const auto start = Clock::now();
    pushAndWait(fd, settings.mib << 20);
    Times times;
    times.client = Bench::seconds(Clock::now() - start);
    waitExit(ncat);
    times.done = Bench::seconds(Clock::now() - start);
    return times;
}

Times pushToHeadless(const Settings& settings, const std::string& folder)
{
    const pid_t program = spawn(headless(settings, folder, "1"), "/dev/null");
    const int fd = Bench::connectLoopback(headlessPort(folder + "/events.jsonl"));
    const auto start = Clock::now();
    pushAndWait(fd, settings.mib << 20);
    Times times;
    times.client = Bench::seconds(Clock::now() - start);
    if (waitExit(program) != 0)
        Bench::fail("the program failed");
    times.done = Bench::seconds(Clock::now() - start);
    return times;
}

// Each client connects, sends a request, ends its sending and waits for the
// server's end; clientThreads of them at a time.
void shortClients(unsigned short port, int count)
{
    constexpr int clientThreads = 4;
    const std::string message = "GET / HTTP/1.0\r\nHost: bench\r\n\r\n";
    std::vector<std::thread> threads;
    for (int thread = 0; thread < clientThreads; ++thread) {
        threads.emplace_back([&, thread] {
            for (int index = thread; index < count; index += clientThreads) {
                const int fd = Bench::connectLoopback(port);
                Bench::sendAll(fd, message.data(), message.size());
                pushAndWait(fd, 0);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
}

// Accepts, reads to the end, writes what came to a file of its own, closes.
double plainAcceptLoop(const Settings& settings, const std::string& folder)
{
    unsigned short port = 0;
    const int listener = Bench::listenLoopback(port, 128);
    const auto start = Clock::now();
    std::thread clients(shortClients, port, settings.connections);
    char buffer[65536];
    for (int index = 1; index <= settings.connections; ++index) {
        const int fd = ::accept(listener, nullptr, nullptr);
        const int file = ::open((folder + "/" + std::to_string(index) + ".bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                0644);
        for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
            if (::write(file, buffer, static_cast<std::size_t>(got)) != got)
                Bench::fail("write failed");
        }
        ::close(file);
        ::close(fd);
    }
    clients.join();
    ::close(listener);
    return Bench::seconds(Clock::now() - start);
}

double manyToHeadless(const Settings& settings, const std::string& folder)
{
    const std::string count = std::to_string(settings.connections);
    const pid_t program = spawn(headless(settings, folder, count.c_str()), "/dev/null");
    const unsigned short port = headlessPort(folder + "/events.jsonl");
    const auto start = Clock::now();
    shortClients(port, settings.connections);
    if (waitExit(program) != 0)
        Bench::fail("the program failed");
    return Bench::seconds(Clock::now() - start);
}

std::string freshFolder(const Settings& settings)
{
    std::string folder = settings.scratch + "/brindlewick-bench-XXXXXX";
    if (!::mkdtemp(folder.data()))
        Bench::fail("mkdtemp failed");
    return folder;
}

void removeFolder(const std::string& folder)
{
    const std::string command = "rm -rf '" + folder + "'";
    if (std::system(command.c_str()) != 0)
        Bench::fail("could not remove " + folder);
}

void measurePush(const Settings& settings, int runs)
{
    std::vector<double> ncatClient, ncatDone, ourClient, ourDone;
    for (int run = 1; run <= runs; ++run) {
        std::string folder = freshFolder(settings);
        const Times plain = pushToNcat(settings, folder);
        removeFolder(folder);
        folder = freshFolder(settings);
        const Times ours = pushToHeadless(settings, folder);
        removeFolder(folder);
        ncatClient.push_back(plain.client);
        ncatDone.push_back(plain.done);
        ourClient.push_back(ours.client);
        ourDone.push_back(ours.done);
        Bench::report("run %d: ncat -l > file %.2f s (done %.2f s) | brindlewick --headless %.2f s (files %.2f s) | "
                      "ratio %.3f", run, plain.client, plain.done, ours.client, ours.done, ours.client / plain.client);
    }
    const double ratio = Bench::median(ourClient) / Bench::median(ncatClient);
    Bench::report("median: client pushing %llu MiB: ncat %.2f s, headless %.2f s, ratio %.3f (goal <= 1.20: %s); "
                  "until the files are complete: ncat %.2f s, headless %.2f s",
                  static_cast<unsigned long long>(settings.mib), Bench::median(ncatClient), Bench::median(ourClient),
                  ratio, ratio <= 1.2 ? "met" : "MISSED", Bench::median(ncatDone), Bench::median(ourDone));
}

void measureMany(const Settings& settings, int runs)
{
    std::vector<double> plain, ours;
    for (int run = 1; run <= runs; ++run) {
        std::string folder = freshFolder(settings);
        plain.push_back(plainAcceptLoop(settings, folder));
        removeFolder(folder);
        folder = freshFolder(settings);
        ours.push_back(manyToHeadless(settings, folder));
        removeFolder(folder);
        Bench::report("run %d: %d connections: plain accept-read-write loop %.2f s | brindlewick --headless %.2f s | "
                      "ratio %.3f", run, settings.connections, plain.back(), ours.back(), ours.back() / plain.back());
    }
    const double ratio = Bench::median(ours) / Bench::median(plain);
    Bench::report("median: %d short connections with their files: plain %.2f s, headless %.2f s, ratio %.3f "
                  "(goal <= 3.00: %s)", settings.connections, Bench::median(plain), Bench::median(ours), ratio,
                  ratio <= 3.0 ? "met" : "MISSED");
}
}

int main(int argc, char** argv)
{
    Settings settings;
    const char* usage = "bench_headless [--runs=N] [--deadline=S] [--program=PATH] [--scratch=DIR] [--mib=1024] "
                        "[--connections=1000]";
    const Bench::CommonOptions options =
        Bench::parseOptions(argc, argv, usage, [&](const std::string& name, const std::string& value) {
            if (name == "program")
                settings.program = value;
            else if (name == "scratch")
                settings.scratch = value;
            else if (name == "mib")
                settings.mib = std::stoull(value);
            else if (name == "connections")
                settings.connections = std::stoi(value);
            else
                return false;
            return true;
        });
    ::signal(SIGPIPE, SIG_IGN);
    Bench::setDeadline(options.deadlineSeconds ? options.deadlineSeconds : 1800);
    Bench::report("bench_headless: %s, load %s", settings.program.c_str(), Bench::loadAverages().c_str());
    measurePush(settings, options.runs);
    measureMany(settings, options.runs);
    Bench::report("load afterwards %s", Bench::loadAverages().c_str());
    return 0;
}
