// One connection's rules on a real io_context (run on the test's thread)
// with actions that only record: what fires, when, what it sends, and what
// the counters and notes say.

#include "RuleRunner.h"
#include "RuleTestSupport.h"
#include "TestSupport.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

using namespace RuleTest;

namespace
{
class RuleRunnerTest : public ::testing::Test
{
protected:
    RuleRunner& start(std::vector<Rule> rules, RuleRunner::Options options = {})
    {
        set = RuleSet::build(std::move(rules));
        runner = std::make_unique<RuleRunner>(set, strand, actions, options);
        runner->onConnected();
        return *runner;
    }

    void receive(const std::string& bytes) { runner->onReceived(bytes.data(), bytes.size()); }

    boost::asio::io_context io;
    boost::asio::strand<boost::asio::io_context::executor_type> strand{io.get_executor()};
    FakeActions actions;
    std::shared_ptr<const RuleSet> set;
    std::unique_ptr<RuleRunner> runner;
};

const Rule ping = rule("ping", ConditionKind::Contains, "PING\\r\\n", {reply("PONG\\r\\n")});
}

TEST_F(RuleRunnerTest, SplitPingGetsOnePongAndAWaitedOneComesOnTime)
{
    start({ping});
    receive("PI");
    EXPECT_EQ(actions.sent, "");
    receive("NG\r\n");
    EXPECT_EQ(actions.sent, "PONG\r\n");
    EXPECT_TRUE(actions.hasNote("rule 'ping' replied 6 bytes"));

    FakeActions waited;
    const auto slowSet = RuleSet::build({rule("slow", ConditionKind::Contains, "PING\\r\\n",
                                              {waitMs(300), reply("PONG\\r\\n")})});
    RuleRunner slow(slowSet, strand, waited);
    slow.onReceived("PI", 2);
    Clock::time_point completed;
    boost::asio::steady_timer later(strand, 50ms);
    later.async_wait([&](const boost::system::error_code&) {
        completed = Clock::now();
        slow.onReceived("NG\r\n", 4);
    });
    ASSERT_TRUE(runUntil(io, [&] { return !waited.sendTimes.empty(); }));
    io.run();
    EXPECT_EQ(waited.sent, "PONG\r\n");
    const auto delay = waited.sendTimes.front() - completed;
    EXPECT_GE(delay, 200ms);
    EXPECT_LE(delay, 400ms);
    EXPECT_TRUE(waited.hasNote("rule 'slow' waits 300 ms"));
    EXPECT_EQ(slow.counters()->hits(0), 1u);
}

TEST_F(RuleRunnerTest, HexBytesResetAndNothingAfter)
{
    start({rule("dead", ConditionKind::HexBytes, "de ad\nbe ef", {simple(ActionKind::Reset), reply("never")}),
           ping});
    receive("xx\xde\xad");
    EXPECT_TRUE(actions.events.empty());
    receive("\xbe\xefPING\r\n");
    EXPECT_EQ(actions.events, std::vector<std::string>{"reset"});
    EXPECT_EQ(actions.sent, "");
    EXPECT_TRUE(actions.hasNote("rule 'dead' reset the connection"));
    runner->onClosed();
    EXPECT_EQ(runner->counters()->unmatchedBytes(), 2u + 6u);
}

TEST_F(RuleRunnerTest, UnmatchedInputGetsNothingAndIsCounted)
{
    start({ping});
    receive("HELLO\r\n");
    EXPECT_EQ(actions.sent, "");
    EXPECT_EQ(runner->counters()->waitingBytes(), 7u);
    EXPECT_EQ(runner->counters()->unmatchedBytes(), 0u);
    receive("PING\r\nabc");
    EXPECT_EQ(actions.sent, "PONG\r\n");
    EXPECT_EQ(runner->counters()->unmatchedBytes(), 7u);
    runner->onClosed();
    EXPECT_EQ(runner->counters()->unmatchedBytes(), 10u);
    EXPECT_EQ(runner->counters()->hits(0), 1u);
}

TEST_F(RuleRunnerTest, NthTimeFiresOnceAndEarlierMatchesStayForTheRulesBelow)
{
    start({rule("third", ConditionKind::Contains, "PING", {reply("THIRD")}, 3),
           rule("ping", ConditionKind::Contains, "PING", {reply("PONG")})});
    receive("PING PING PING PING");
    EXPECT_EQ(actions.sent, "PONGPONGTHIRDPONG");
    receive("PING");
    EXPECT_EQ(actions.sent, "PONGPONGTHIRDPONGPONG");
    EXPECT_EQ(runner->counters()->hits(0), 1u);
    EXPECT_EQ(runner->counters()->hits(1), 4u);
    EXPECT_TRUE(actions.hasNote(
        "rule 'third' matched (2 of 3): it fires on match 3; the bytes stay for the rules below"));

    FakeActions alone;
    const auto aloneSet = RuleSet::build({rule("second", ConditionKind::Equals, "PING", {reply("2")}, 2)});
    RuleRunner second(aloneSet, strand, alone);
    for (int i = 0; i < 3; ++i) {
        second.onReceived("PI", 2);
        second.onReceived("NG", 2);
    }
    EXPECT_EQ(alone.sent, "");
    EXPECT_EQ(second.counters()->waitingBytes(), 12u);
}

TEST_F(RuleRunnerTest, CapturesFillTheReplyAndItsHttpFrame)
{
    Action framed = reply("<p>$1</p>");
    framed.reply.http = RuleReply::Http{"404 Not Found", {{"Content-Type", "text/html"}}};
    start({rule("user", ConditionKind::Regex, R"(USER (?P<name>\w+) (\d+)\r\n)",
                {reply("hello ${name}, you are $2 $$1 [$0]")}),
           rule("echo", ConditionKind::StartsWith, "ECHO ", {reply("<$0>")}),
           rule("get", ConditionKind::Regex, R"(GET /(\S*) )", {framed})});
    receive("xUSER bob 4");
    receive("2\r\nECHO x");
    EXPECT_EQ(actions.sent, "hello bob, you are 42 $1 [USER bob 42\r\n]<ECHO >");
    actions.sent.clear();
    receive("GET /caf\xe9 ");
    EXPECT_EQ(actions.sent, "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: 11\r\n\r\n"
                            "<p>caf\xe9</p>");
}

TEST_F(RuleRunnerTest, TheBoundDropsTheOldestWithANoteAndMatchesLargeChunksFirst)
{
    RuleRunner::Options small;
    small.bufferLimit = 16;
    start({ping, rule("end", ConditionKind::Contains, "END", {reply("$0")})}, small);
    receive(std::string(40, 'a'));
    EXPECT_TRUE(actions.hasNote("rule matching dropped the oldest 24 unconsumed bytes (it keeps 16)"));
    EXPECT_EQ(runner->counters()->waitingBytes(), 16u);
    receive("PING\r\n" + std::string(100, 'b') + "END");
    EXPECT_EQ(actions.sent, "PONG\r\nEND");
    EXPECT_EQ(runner->counters()->unmatchedBytes(), 40u + 100u);
    EXPECT_EQ(runner->counters()->waitingBytes(), 0u);
}

TEST_F(RuleRunnerTest, MatchesQueueBehindAWaitAndCloseCancelsThem)
{
    RuleRunner::Options two;
    two.maxQueuedMatches = 2;
    start({rule("slow", ConditionKind::Contains, "P", {waitMs(20), reply("Q"), simple(ActionKind::CloseSending)})},
          two);
    receive("PPP");
    EXPECT_EQ(actions.sent, "");
    EXPECT_TRUE(actions.hasNote("rule matching paused: 2 matches wait for their actions"));
    ASSERT_TRUE(runUntil(io, [&] { return actions.sent == "QQQ"; }));
    EXPECT_EQ(actions.events.size(), 3u);
    EXPECT_EQ(runner->counters()->hits(0), 3u);

    receive("PP");
    runner->onClosed();
    receive("P");
    io.run();
    EXPECT_EQ(actions.sent, "QQQ");
    EXPECT_EQ(runner->counters()->hits(0), 5u);
}

TEST_F(RuleRunnerTest, ConnectRuleAndEveryActionKind)
{
    Rule greeting;
    greeting.name = "hello";
    greeting.condition.onConnect = true;
    Action pieces = reply("abcdef");
    pieces.kind = ActionKind::SendInPieces;
    pieces.pieceSize = 4;
    pieces.duration = 50ms;
    Action file = simple(ActionKind::SendFile);
    file.path = "/tmp/x";
    Action pause = simple(ActionKind::PauseReading);
    pause.duration = 500ms;
    greeting.actions = {pieces, file, pause};
    Rule other = ping;
    other.port = 1;
    start({other, greeting, ping});
    EXPECT_EQ(actions.sent, "abcdef");
    EXPECT_EQ(actions.events, (std::vector<std::string>{"pieces 4 50", "file /tmp/x", "pause 500"}));
    EXPECT_TRUE(actions.hasNote("rule 'hello' sends 6 bytes in pieces of 4 every 50 ms"));
    receive("PING\r\n");
    EXPECT_EQ(runner->counters()->hits(0), 0u);
    EXPECT_EQ(runner->counters()->hits(2), 1u);
}

TEST_F(RuleRunnerTest, EveryKindMatchesWhateverTheChunks)
{
    const std::vector<Rule> rules{rule("helo", ConditionKind::StartsWith, "HELO ", {reply("H;")}),
                                  rule("get", ConditionKind::Regex, R"(GET (/\S*) HTTP)", {reply("R$1;")}),
                                  rule("ping", ConditionKind::Contains, "PING", {reply("P;")}),
                                  rule("hex", ConditionKind::HexBytes, "00ff", {reply("X;")}),
                                  rule("auth", ConditionKind::Regex, R"(^AUTH (\w+)\r\n)", {reply("A$1;")}),
                                  rule("quit", ConditionKind::Equals, "QUIT\\r\\n", {reply("Q;")})};
    const std::string stream = std::string("HELO GET /a HTTPPING\0\xff", 22) + "AUTH bob\r\nQUIT\r\n";
    for (const std::size_t chunk : {stream.size(), std::size_t(1), std::size_t(3), std::size_t(7)}) {
        actions = FakeActions();
        start(rules);
        for (std::size_t at = 0; at < stream.size(); at += chunk)
            receive(stream.substr(at, chunk));
        EXPECT_EQ(actions.sent, "H;R/a;P;X;Abob;Q;") << "chunks of " << chunk;
        EXPECT_EQ(runner->counters()->waitingBytes(), 0u);
    }
}

TEST_F(RuleRunnerTest, AnActionThatThrowsCostsOnlyItsStep)
{
    struct Failing : FakeActions
    {
        void closeSending() override { throw std::runtime_error("socket gone"); }
    };
    Failing failing;
    const auto closing = RuleSet::build(
        {rule("bye", ConditionKind::Contains, "BYE", {simple(ActionKind::CloseSending), reply("after")}), ping});
    RuleRunner guarded(closing, strand, failing);
    guarded.onReceived("BYE PING\r\n", 11);
    EXPECT_EQ(failing.sent, "afterPONG\r\n");
    EXPECT_TRUE(failing.hasNote("rule 'bye' could not act: socket gone"));
}

TEST(RuleRunnerThreadsTest, ConnectionsOnTwoThreadsShareOneRuleSet)
{
    const auto shared = RuleSet::build(
        {rule("user", ConditionKind::Regex, R"(USER (\w+)\r\n)", {reply("hi $1;")}), ping});
    std::string expected;
    std::string input;
    for (int i = 0; i < 500; ++i) {
        input += "USER u" + std::to_string(i) + "\r\nPING\r\n";
        expected += "hi u" + std::to_string(i) + ";PONG\r\n";
    }
    const auto connection = [&](std::string& sent) {
        boost::asio::io_context io;
        FakeActions actions;
        RuleRunner runner(shared, io.get_executor(), actions);
        for (std::size_t at = 0; at < input.size(); at += 5)
            runner.onReceived(input.data() + at, std::min<std::size_t>(5, input.size() - at));
        sent = actions.sent;
    };
    std::string first;
    std::string second;
    {
        TestSupport::JoiningThread one([&] { connection(first); });
        TestSupport::JoiningThread two([&] { connection(second); });
    }
    EXPECT_EQ(first, expected);
    EXPECT_EQ(second, expected);
}
