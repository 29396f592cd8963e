// Rules answering real TCP clients on 127.0.0.1 through a minimal Asio
// server, and a recorded HTTP exchange replayed to a new client.

#include "ReplayConverter.h"
#include "RuleHarness.h"
#include "RuleTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

using namespace RuleTest;

TEST(RuleSocketTest, SplitPingGetsOnePongOnTimeAndDeadbeefResets)
{
    RuleHarness server(RuleSet::build(
        {rule("ping", ConditionKind::Contains, "PING\\r\\n", {waitMs(300), reply("PONG\\r\\n")}),
         rule("dead", ConditionKind::HexBytes, "deadbeef", {simple(ActionKind::Reset)})}));
    TestSupport::TestClient client(server.port());
    ASSERT_TRUE(client.isConnected());
    ASSERT_TRUE(client.write("PI"));
    ASSERT_TRUE(TestSupport::waitUntil([&] { return server.receivedBytes() == 2; }));
    const auto completed = Clock::now();
    ASSERT_TRUE(client.write("NG\r\n"));
    EXPECT_EQ(client.read(6), "PONG\r\n");
    const auto delay = Clock::now() - completed;
    EXPECT_GE(delay, 200ms);
    EXPECT_LE(delay, 400ms);

    ASSERT_TRUE(client.write("\xde\xad\xbe\xef"));
    EXPECT_EQ(TestSupport::readToEnd(client.handle()), ECONNRESET);
    const std::vector<std::string> notes = server.notes();
    EXPECT_EQ(std::count(notes.begin(), notes.end(), "rule 'ping' replied 6 bytes"), 1);
    EXPECT_EQ(std::count(notes.begin(), notes.end(), "rule 'dead' reset the connection"), 1);
}

TEST(RuleSocketTest, ARecordedHttpExchangeReplaysByteForByte)
{
    using Direction = RecordedChunk::Direction;
    const std::string firstRequest = "GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\n\r\n";
    const std::string body = std::string("<p>$1 costs \0 \\x41 \xe9</p>", 24);
    const std::string firstResponse = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: "
        + std::to_string(body.size()) + "\r\n\r\n";
    const std::string secondRequest = "POST /upload HTTP/1.1\r\nContent-Length: 6000\r\n\r\n"
        + TestSupport::patternBytes(6000, 3);
    const std::string secondResponse = "HTTP/1.0 201 Created\r\nContent-Length: 0\r\n\r\n";
    const std::vector<RecordedChunk> recorded{
        {Direction::Received, firstRequest.substr(0, 30), 1000}, {Direction::Received, firstRequest.substr(30), 1500},
        {Direction::Sent, firstResponse, 2000},                  {Direction::Sent, body, 2100},
        {Direction::Received, secondRequest, 9000},              {Direction::Sent, secondResponse, 9500}};
    ReplayConverter::Options options;
    options.closeSendingAtEnd = true;
    std::vector<RuleProblem> problems;
    const auto rules = RuleSet::build(ReplayConverter::convert(recorded, options), problems);
    ASSERT_TRUE(problems.empty()) << problems.front().text();
    ASSERT_EQ(rules->size(), 2u);
    EXPECT_EQ(rules->definition(1).condition.kind, ConditionKind::Contains);

    RuleHarness server(rules);
    TestSupport::TestClient client(server.port());
    ASSERT_TRUE(client.isConnected());
    for (std::size_t at = 0; at < firstRequest.size(); at += 7)
        ASSERT_TRUE(client.write(firstRequest.substr(at, 7)));
    EXPECT_EQ(client.read(firstResponse.size() + body.size()), firstResponse + body);
    ASSERT_TRUE(client.write(secondRequest));
    std::string rest;
    ASSERT_TRUE(client.readUntilClosed(rest));
    EXPECT_EQ(rest, secondResponse);
}
