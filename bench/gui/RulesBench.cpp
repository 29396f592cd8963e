// Answering by rules in the real program (Core + MainWindow, one connection
// window), each variant in a process of its own, each against a baseline
// measured in the same run:
//
//   flood     one client pushes 1 GiB of 80-column text through 50 rules
//             that never match (25 substrings, 25 regular expressions with
//             a literal string each). The client's time from its first send
//             until the program holds every byte, against the same program
//             with no rules.
//   pingpong  one client sends "PING\r\n" and waits for "PONG\r\n", over and
//             over on one connection, answered by a rule: pairs a second and
//             the round trip's percentiles, against a thread that answers
//             the same way on a plain blocking socket.
//
// Log lines of the program go into a discarding streambuf (std::cout's).

#include "GuiBenchSupport.h"
#include "ProgramUnderTest.h"

#include "ConnectionWindow.h"
#include "Conversation.h"
#include "MainWindow.h"
#include "ReplayConverter.h"
#include "RuleBook.h"
#include "Transcript.h"

#include <QApplication>
#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace GuiBench;

namespace
{
constexpr int childDeadlineSeconds = 300;
constexpr std::size_t sendBlock = 1024 * 1024;
const std::string ping = "PING\r\n";
const std::string pong = "PONG\r\n";

struct Options
{
    std::string child;
    int runs = 3;
    int mib = 1024;
    int pairs = 20000;
    int rules = 50;
};

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: bench_gui_rules [--runs=N] [--mib=1024] [--pairs=20000] [--rules=50]\n");
    std::exit(2);
}

Options parse(int argc, char** argv)
{
    Options options;
    forEachOption(argc, argv, [&options](const std::string& name, const std::string& value) {
        if (name == "--child")
            options.child = value;
        else if (name == "--runs")
            options.runs = std::max(1, std::atoi(value.c_str()));
        else if (name == "--mib")
            options.mib = std::max(1, std::atoi(value.c_str()));
        else if (name == "--pairs")
            options.pairs = std::max(100, std::atoi(value.c_str()));
        else if (name == "--rules")
            options.rules = std::max(0, std::atoi(value.c_str()));
        else
            usage();
    });
    return options;
}

Rule rule(const std::string& name, ConditionKind kind, const std::string& value, const std::string& reply)
{
    Rule made;
    made.name = name;
    made.condition.kind = kind;
    made.condition.value = value;
    Action action;
    action.reply.text = ReplayConverter::escape(reply);
    action.reply.mode = InputMode::Escapes;
    made.actions.push_back(action);
    return made;
}

// Half substrings, half regular expressions; none occurs in the flood text.
std::vector<Rule> floodRules(int count)
{
    std::vector<Rule> rules;
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        if (i % 2 == 0)
            rules.push_back(rule("substring " + n, ConditionKind::Contains, "NEEDLE-" + n + "-xyz", "found\n"));
        else
            rules.push_back(rule("regex " + n, ConditionKind::Regex, "ERROR-" + n + ": code [0-9]{3}", "error\n"));
    }
    return rules;
}

std::string floodBlock()
{
    std::string block;
    block.reserve(sendBlock);
    for (std::size_t line = 0; block.size() + floodLineLength <= sendBlock; ++line) {
        std::string text = "line " + std::to_string(line) + " ";
        text.resize(floodLineLength - 1, 'a' + static_cast<char>(line % 26));
        block += text + '\n';
    }
    block.resize(sendBlock, '\n');
    return block;
}

ConnectionWindow* firstWindow(ProgramUnderTest& program)
{
    return program.waitForWindows(1, true).front();
}

int runFlood(const Options& o, int argc, char** argv)
{
    ProgramUnderTest program(argc, argv, QSize(1280, 860));
    RuleBook::shared().setRules(floodRules(o.rules));
    const std::string block = floodBlock();
    const std::uint64_t total = static_cast<std::uint64_t>(o.mib) * sendBlock;
    std::atomic<bool> start{false};
    Clock::time_point sendStart;
    std::thread client([&] {
        const int fd = connectLoopback(program.port);
        while (!start.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        sendStart = Clock::now();
        for (int i = 0; i < o.mib; ++i)
            sendAll(fd, block.data(), block.size());
        ::shutdown(fd, SHUT_WR);
        char byte;
        while (::read(fd, &byte, 1) > 0) {
        }
        ::close(fd);
    });
    ConnectionWindow* connection = firstWindow(program);
    Clock::time_point received;
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (connection->getTranscript().totals().bytes[0] < total)
            return;
        received = Clock::now();
        poll.stop();
        QCoreApplication::quit();
    });
    start.store(true);
    poll.start();
    QCoreApplication::exec();
    const double pushSeconds = seconds(received - sendStart);
    const auto counters = connection->getConversation().ruleCounters();
    report("push_seconds", pushSeconds);
    report("push_mb_s", static_cast<double>(total) / pushSeconds / 1e6);
    report("rules", static_cast<std::int64_t>(counters ? counters->ruleCount() : 0));
    connection->closeSession();
    client.join();
    program.tearDown();
    return 0;
}

void setNoDelay(int fd)
{
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// One pair: PING out, PONG back in full. The round trips in microseconds.
std::vector<double> pingPong(int fd, int pairs)
{
    std::vector<double> roundTrips;
    roundTrips.reserve(static_cast<std::size_t>(pairs));
    char buffer[64];
    for (int i = 0; i < pairs; ++i) {
        const Clock::time_point sent = Clock::now();
        sendAll(fd, ping.data(), ping.size());
        std::size_t got = 0;
        while (got < pong.size()) {
            const ssize_t n = ::read(fd, buffer + got, pong.size() - got);
            if (n <= 0)
                fail("the connection ended during a ping");
            got += static_cast<std::size_t>(n);
        }
        if (std::string(buffer, got) != pong)
            fail("the answer was not PONG");
        roundTrips.push_back(seconds(Clock::now() - sent) * 1e6);
    }
    return roundTrips;
}

void reportPingPong(const std::vector<double>& roundTrips)
{
    double total = 0;
    for (double us : roundTrips)
        total += us;
    report("pairs_per_s", static_cast<double>(roundTrips.size()) / (total / 1e6));
    report("p50_us", percentile(roundTrips, 50));
    report("p99_us", percentile(roundTrips, 99));
}

// A warm-up of a tenth of the pairs first, not measured.
std::vector<double> measurePingPong(unsigned short port, int pairs)
{
    const int fd = connectLoopback(port);
    setNoDelay(fd);
    pingPong(fd, pairs / 10);
    std::vector<double> roundTrips = pingPong(fd, pairs);
    ::close(fd);
    return roundTrips;
}

int runPingPong(const Options& o, int argc, char** argv)
{
    ProgramUnderTest program(argc, argv, QSize(1280, 860));
    RuleBook::shared().setRules({rule("ping", ConditionKind::Contains, ping, pong)});
    std::atomic<bool> done{false};
    std::vector<double> roundTrips;
    std::thread client([&] {
        roundTrips = measurePingPong(program.port, o.pairs);
        done.store(true);
    });
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done.load())
            QCoreApplication::quit();
    });
    poll.start();
    QCoreApplication::exec();
    client.join();
    reportPingPong(roundTrips);
    program.tearDown();
    return 0;
}

// The baseline: a thread reads and answers every PING on a blocking socket.
int runPlainPingPong(const Options& o)
{
    unsigned short port = 0;
    const int listener = listenLoopback(port, 1);
    std::thread server([listener] {
        const int fd = ::accept(listener, nullptr, nullptr);
        setNoDelay(fd);
        std::string pending;
        char buffer[4096];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
            pending.append(buffer, static_cast<std::size_t>(n));
            for (std::size_t at; (at = pending.find(ping)) != std::string::npos;) {
                pending.erase(0, at + ping.size());
                sendAll(fd, pong.data(), pong.size());
            }
        }
        ::close(fd);
    });
    reportPingPong(measurePingPong(port, o.pairs));
    server.join();
    ::close(listener);
    return 0;
}

double medianOf(const std::vector<ChildResult>& results, const char* key)
{
    std::vector<double> values;
    for (const ChildResult& r : results)
        if (r.ok)
            values.push_back(r.number(key));
    return values.empty() ? -1 : median(values);
}

ChildResult runChild(const std::vector<std::string>& args, const char* label, int run)
{
    ChildResult result = runSelf(args, childDeadlineSeconds);
    std::printf("run %d %-14s %s\n", run, label, result.ok ? "ok" : ("FAILED (" + result.failure + ")").c_str());
    std::fflush(stdout);
    return result;
}

int drive(const Options& o)
{
    TemporaryConfigHome config;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setDeadline(o.runs * 4 * (childDeadlineSeconds + 10) + 30);
    const std::string mib = "--mib=" + std::to_string(o.mib);
    const std::string pairs = "--pairs=" + std::to_string(o.pairs);
    std::vector<ChildResult> withRules, without, program, plain;
    for (int run = 1; run <= o.runs; ++run) {
        without.push_back(runChild({"--child=flood", mib, "--rules=0"}, "flood, none", run));
        const std::string rules = "--rules=" + std::to_string(o.rules);
        withRules.push_back(runChild({"--child=flood", mib, rules}, "flood, rules", run));
        program.push_back(runChild({"--child=pingpong", pairs}, "pingpong", run));
        plain.push_back(runChild({"--child=pingpong-plain", pairs}, "pingpong, plain", run));
    }
    const double ruled = medianOf(withRules, "push_seconds");
    const double bare = medianOf(without, "push_seconds");
    std::printf("\nFlood of %d MiB, medians of %d run(s): %d rules %.2f s (%.0f MB/s), no rules %.2f s (%.0f MB/s): "
                "ratio %.2f (goal <= 1.2)\n",
                o.mib, o.runs, o.rules, ruled, medianOf(withRules, "push_mb_s"), bare, medianOf(without, "push_mb_s"),
                ruled / bare);
    const double rate = medianOf(program, "pairs_per_s");
    const double p99 = medianOf(program, "p99_us");
    std::printf("PING/PONG, %d pairs on one connection: program %.0f pairs/s, p50 %.0f us, p99 %.0f us; "
                "plain socket %.0f pairs/s, p50 %.0f us, p99 %.0f us; rate ratio %.2f "
                "(goals >= 10000 pairs/s, p99 < 1000 us)\n",
                o.pairs, rate, medianOf(program, "p50_us"), p99, medianOf(plain, "pairs_per_s"),
                medianOf(plain, "p50_us"), medianOf(plain, "p99_us"), rate / medianOf(plain, "pairs_per_s"));
    const bool floodMet = ruled > 0 && bare > 0 && ruled / bare <= 1.2;
    const bool pairsMet = rate >= 10000 && p99 > 0 && p99 < 1000;
    std::printf("SUMMARY\trules flood\tpush s\t%.2f\t%.2f\t%.2f\t<= 1.2\t%s\n", ruled, bare, ruled / bare,
                floodMet ? "met" : "NOT met");
    const double plainRate = medianOf(plain, "pairs_per_s");
    std::printf("SUMMARY\trules PING/PONG\tpairs/s, p99 us\t%.0f, %.0f\t%.0f\t%.2f\t>= 10000, < 1000\t%s\n",
                rate, p99, plainRate, rate / plainRate, pairsMet ? "met" : "NOT met");
    const bool met = floodMet && pairsMet;
    std::printf("goals %s\n", met ? "met" : "NOT met");
    return met ? 0 : 1;
}
}

int main(int argc, char** argv)
{
    const Options o = parse(argc, argv);
    if (o.child.empty())
        return drive(o);
    setDeadline(childDeadlineSeconds);
    discardLog();
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    if (o.child == "flood")
        return runFlood(o, qtArgc, qtArgv);
    if (o.child == "pingpong")
        return runPingPong(o, qtArgc, qtArgv);
    if (o.child == "pingpong-plain")
        return runPlainPingPong(o);
    usage();
}
