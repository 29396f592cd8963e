// Rule matching on a flood that matches nothing: 1 GiB in 64 KiB chunks
// through 50 rules (substrings, hex bytes and regular expressions) against
// the same flood with no rules, first the matcher alone on bytes in memory,
// then behind a loopback socket read in 64 KiB chunks.

#include "BenchSupport.h"
#include "RuleMatcher.h"
#include "RuleRunner.h"

#include <boost/asio/io_context.hpp>

#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <thread>

namespace
{
const char* const usage =
    "bench_rule_match [--mib=1024] [--chunk=65536] [--flood=random|text|zeros|requests] [--runs=N]\n"
    "                 [--deadline=S]\n"
    "Times rule matching on a flood that matches none of 50 rules, against no rules.\n";

enum class Flood { Random, Text, Zeros, Requests };
const char* const floodNames[] = {"random", "text", "zeros", "requests"};

struct Settings
{
    std::size_t mib = 1024;
    std::size_t chunk = 65536;
    Flood flood = Flood::Random;
};

Rule contains(const std::string& value, ConditionKind kind = ConditionKind::Contains)
{
    Rule rule;
    rule.name = value;
    rule.condition.kind = kind;
    rule.condition.value = value;
    Action reply;
    reply.reply.text = "matched $0";
    rule.actions.push_back(reply);
    return rule;
}

// What a test server answers by: protocol words, headers, binary markers.
std::vector<Rule> fiftyRules()
{
    const char* const literals[] = {
        "LOGIN admin",   "PING\r\n",       "QUIT\r\n",       "STARTTLS",       "AUTH PLAIN ",
        "RCPT TO:<",     "MAIL FROM:<",    "DATA\r\n",       "EHLO ",          "X-Debug-Token:",
        "Upgrade: websocket", "Expect: 100-continue", "SELECT * FROM", "DROP TABLE", "<?xml version",
        "{\"jsonrpc\":", "SUBSCRIBE ",     "PUBLISH ",       "CONNECT ",       "\x16\x03\x01\x02\x00",
    };
    const char* const hex[] = {"de ad be ef", "ca fe ba be", "00 00 00 00 ff ff", "7f 45 4c 46", "1f 8b 08 00"};
    const char* const regexes[] = {
        R"(GET /api/v\d+/users/(\d+) HTTP/1\.[01])",  R"((?i)authorization: basic ([a-z0-9+/=]+))",
        R"(POST /login\?user=(\w+))",                  R"(Content-Length: (\d{7,}))",
        R"(^HELO ([a-z.]+)\r\n)",                      R"(Cookie: session=([0-9a-f]{32}))",
        R"(USER (\w+)\r\nPASS (\w+)\r\n)",             R"(\x02CMD:(\d+):([A-Z]+)\x03)",
        R"(<soap:Envelope[^>]*>)",                     R"(Host: (admin|internal)\.example\.com)",
        R"(SET (\w+) (\d+)\r\n)",                      R"(GET (\w+) FROM cache)",
        R"((?i)x-forwarded-for: (\d+\.\d+\.\d+\.\d+))", R"(OPTIONS \* RTSP/1\.0)",
        R"(BEGIN:VCALENDAR\r?\n)",                     R"(\$MYNMEA,(\d+),([NS]))",
        R"(RETR ([\w.]+)\r\n)",                        R"(NICK (\w{3,16})\r\n)",
        R"(Sec-WebSocket-Key: ([A-Za-z0-9+/=]{24}))",  R"(SIP/2\.0 (\d{3}) )",
        R"(ACK (\d+) seq=(\d+))",                      R"(ERROR: code=(\d+))",
        R"re(LIST "([^"]*)" "\*")re",                      R"(REGISTER sip:(\S+) SIP/2\.0)",
        R"(OK MAGIC-(\d{4})-END)",
    };
    std::vector<Rule> rules;
    for (const char* literal : literals)
        rules.push_back(contains(literal));
    for (const char* bytes : hex)
        rules.push_back(contains(bytes, ConditionKind::HexBytes));
    for (const char* regex : regexes)
        rules.push_back(contains(regex, ConditionKind::Regex));
    return rules;
}

// 8 MiB of flood, sent over and over: random bytes, lower-case letters,
// digits and spaces in lines, zero bytes, or one HTTP request over and over
// (which holds literal strings some regular expressions need); none of the
// rules can match it. It stays in the processor's cache, as a chunk just
// received does.
std::string floodBytes(Flood kind)
{
    std::string flood(8 * 1024 * 1024, '\0');
    if (kind == Flood::Requests) {
        const std::string request = "GET /static/app.js HTTP/1.1\r\nHost: example.org\r\n"
                                    "Accept: text/css,*/*;q=0.1\r\nReferer: http://example.org/index.html\r\n\r\n";
        for (std::size_t i = 0; i < flood.size(); ++i)
            flood[i] = request[i % request.size()];
        return flood;
    }
    std::mt19937_64 random(42);
    const char* const alphabet = "abcdefghijklmnopqrstuvwxyz0123456789 ";
    for (std::size_t i = 0; i < flood.size() && kind != Flood::Zeros; ++i) {
        const auto value = random();
        flood[i] = kind == Flood::Text ? (i % 64 == 63 ? '\n' : alphabet[value % 37]) : static_cast<char>(value);
    }
    return flood;
}

// Thread CPU seconds to feed total bytes of flood through a matcher.
double matchAlone(const std::shared_ptr<const RuleSet>& rules, const std::string& flood, const Settings& settings)
{
    RuleMatcher matcher(rules, 0, 64 * 1024);
    const std::size_t total = settings.mib * 1024 * 1024;
    const double start = Bench::threadCpuSeconds();
    for (std::size_t done = 0; done < total; done += settings.chunk) {
        matcher.append(flood.data() + done % flood.size(), settings.chunk);
        while (const auto match = matcher.next())
            Bench::fail("rule " + std::to_string(match->rule) + " matched the flood");
        matcher.trim();
    }
    return Bench::threadCpuSeconds() - start;
}

class CountingActions : public ConnectionActions
{
public:
    void sendBytes(std::string) override { ++calls; }
    void sendInPieces(std::string, std::size_t, std::chrono::milliseconds) override { ++calls; }
    void sendFile(const std::string&) override { ++calls; }
    void closeSending() override { ++calls; }
    void reset() override { ++calls; }
    void pauseReading(std::chrono::milliseconds) override { ++calls; }
    // The flood outgrows the buffer: notes of dropped bytes are expected.
    void note(const std::string&) override {}

    std::size_t calls = 0;
};

// Wall seconds to receive total bytes over loopback in chunk-sized reads,
// each handed to a RuleRunner of the given rules (none: only read).
double flood(const std::shared_ptr<const RuleSet>* rules, const std::string& bytes, const Settings& settings)
{
    unsigned short port = 0;
    const int listener = Bench::listenLoopback(port, 1);
    const int sender = Bench::connectLoopback(port);
    const int receiver = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    const std::size_t total = settings.mib * 1024 * 1024;
    boost::asio::io_context io;
    CountingActions actions;
    std::unique_ptr<RuleRunner> runner;
    if (rules)
        runner = std::make_unique<RuleRunner>(*rules, io.get_executor(), actions);
    std::string chunk(settings.chunk, '\0');
    const auto start = Bench::Clock::now();
    std::thread feeder([&] {
        for (std::size_t sent = 0; sent < total; sent += 1024 * 1024)
            Bench::sendAll(sender, bytes.data() + sent % bytes.size(), 1024 * 1024);
        ::shutdown(sender, SHUT_WR);
    });
    for (;;) {
        const ssize_t got = ::recv(receiver, chunk.data(), chunk.size(), 0);
        if (got <= 0)
            break;
        if (runner)
            runner->onReceived(chunk.data(), static_cast<std::size_t>(got));
    }
    const double elapsed = Bench::seconds(Bench::Clock::now() - start);
    feeder.join();
    ::close(sender);
    ::close(receiver);
    if (actions.calls > 0)
        Bench::fail("the rules acted on the flood " + std::to_string(actions.calls) + " times");
    return elapsed;
}

bool parseSetting(Settings& settings, const std::string& name, const std::string& value)
{
    if (name == "--mib")
        return (settings.mib = std::strtoul(value.c_str(), nullptr, 10)) >= 64;
    if (name == "--chunk")
        return (settings.chunk = std::strtoul(value.c_str(), nullptr, 10)) >= 1024;
    for (int kind = 0; kind < 4 && name == "--flood"; ++kind) {
        if (value == floodNames[kind]) {
            settings.flood = static_cast<Flood>(kind);
            return true;
        }
    }
    return false;
}
}

int main(int argc, char** argv)
{
    Settings settings;
    const Bench::CommonOptions options = Bench::parseOptions(
        argc, argv, usage, [&](const std::string& name, const std::string& value) {
            return parseSetting(settings, name, value);
        });
    Bench::setDeadline(options.deadlineSeconds > 0 ? options.deadlineSeconds : 600);
    std::vector<RuleProblem> problems;
    const auto rules = RuleSet::build(fiftyRules(), problems);
    if (!problems.empty())
        Bench::fail(problems.front().text());
    const auto none = RuleSet::build({});
    const std::string bytes = floodBytes(settings.flood);
    Bench::report("rule matching: %zu MiB of %s flood in %zu-byte chunks, %zu rules, load %s", settings.mib,
                  floodNames[static_cast<int>(settings.flood)], settings.chunk, rules->size(),
                  Bench::loadAverages().c_str());

    std::vector<double> alone, empty, plain, ruled;
    for (int run = 0; run < options.runs; ++run) {
        alone.push_back(matchAlone(rules, bytes, settings));
        empty.push_back(matchAlone(none, bytes, settings));
        plain.push_back(flood(nullptr, bytes, settings));
        ruled.push_back(flood(&rules, bytes, settings));
    }
    const double gib = double(settings.mib) / 1024;
    const double matcher = Bench::median(alone) / gib;
    const double floodPlain = Bench::median(plain) / gib;
    const double floodRuled = Bench::median(ruled) / gib;
    Bench::report("matcher alone, 50 rules: %.1f ms CPU/GiB (%.1f GB/s); no rules: %.1f ms CPU/GiB", matcher * 1e3,
                  1.0737 / matcher, Bench::median(empty) / gib * 1e3);
    Bench::report("loopback flood, no rules: %.1f ms/GiB (%.2f GB/s)", floodPlain * 1e3, 1.0737 / floodPlain);
    Bench::report("loopback flood, 50 rules: %.1f ms/GiB (%.2f GB/s)", floodRuled * 1e3, 1.0737 / floodRuled);
    Bench::report("ratio, flood with rules / without: %.3f (measured), %.3f (flood + matcher alone)",
                  floodRuled / floodPlain, (floodPlain + matcher) / floodPlain);
    Bench::report("load after: %s", Bench::loadAverages().c_str());
    return 0;
}
