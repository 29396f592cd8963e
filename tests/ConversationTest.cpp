// The conversation model without any window: what a connection records, in
// the wire's order, how its sends end and what its state says, with real
// clients on 127.0.0.1.
#include "Conversation.h"
#include "CoreHarness.h"
#include "NumberText.h"
#include "RuleFileReader.h"
#include "TranscriptTestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

using namespace TestSupport;
using TranscriptTestSupport::record;

namespace
{
constexpr std::size_t MB = 1024 * 1024;

// A conversation on the newest connection of a harness, watched by a counter.
struct Watched
{
    explicit Watched(CoreHarness& harness)
    {
        EXPECT_TRUE(harness.waitForConnections(1));
        conversation = Conversation::create(harness.takeProtocol(0));
        conversation->start();
        conversation->watch([this] { ++calls; });
    }
    ~Watched() { conversation->unwatch(); }

    bool waitFor(const std::function<bool(const Conversation&)>& condition)
    {
        return waitUntil([&] { return condition(*conversation); }, 20s);
    }

    std::shared_ptr<Conversation> conversation;
    std::atomic<int> calls{0};
};

CoreHarness::Options unstarted()
{
    CoreHarness::Options options;
    options.autoStart = false;
    return options;
}

// Sent chunks in a row as one entry, so that how a write was cut does not matter.
std::vector<std::string> joinSent(const std::vector<std::string>& entries)
{
    std::vector<std::string> joined;
    for (const std::string& entry : entries) {
        if (!joined.empty() && entry.rfind("S:", 0) == 0 && joined.back().rfind("S:", 0) == 0)
            joined.back() += entry.substr(2);
        else
            joined.push_back(entry);
    }
    return joined;
}

std::uint64_t sentBytes(const Conversation& conversation)
{
    return conversation.transcript().totals().bytes[static_cast<int>(Direction::Sent)];
}
}

// Replies, a file and pieces go into the record as they go out, each send's
// note right after its bytes, interleaved with what the client sends; the
// state follows both ends; the watcher is told once until it acknowledges.
TEST(Conversation, RecordsTheWiresOrderAndTheState)
{
    CoreHarness h(unstarted());
    TestClient client;
    ASSERT_TRUE(client.open(64 * 1024) && client.connectOpened(h.listen()));
    ASSERT_TRUE(client.write("hello"));
    Watched watched(h);
    Conversation& conversation = *watched.conversation;
    ASSERT_TRUE(watched.waitFor([](const Conversation& c) { return c.transcript().size() == 5; }));
    EXPECT_EQ(watched.calls.load(), 1);
    conversation.acknowledge();

    // The file is still in flight when the reply after it is queued and the
    // client speaks meanwhile.
    const std::string contents = patternBytes(4 * MB + 3, 5);
    TemporaryFile file(contents);
    std::string error;
    EXPECT_EQ(conversation.send("one"), 1u);
    EXPECT_EQ(conversation.sendFile(file.path(), error), 2u);
    EXPECT_EQ(conversation.send("after"), 3u);
    EXPECT_EQ(conversation.sendInPieces("abcdefg", 3, std::chrono::milliseconds(1), error), 4u);
    EXPECT_EQ(conversation.sendInPieces("x", 0, std::chrono::milliseconds(1), error), 0u);
    EXPECT_EQ(error, "Send in pieces: a piece must be at least 1 byte");
    EXPECT_EQ(client.read(3), "one");
    ASSERT_TRUE(client.write("mid"));
    const std::string rest = contents + "after" + "abcdefg";
    EXPECT_TRUE(client.read(rest.size(), 30s) == rest);
    ASSERT_TRUE(watched.waitFor([](const Conversation& c) { return c.sends().size() == 4 && c.sends().back().state != SendLedger::State::Queued; }));
    for (const SendLedger::Entry& entry : conversation.sends())
        EXPECT_EQ(entry.state, SendLedger::State::Written) << entry.id;
    EXPECT_EQ(conversation.sendEntry(2).written, contents.size());

    conversation.closeSending();
    EXPECT_EQ(readToEnd(client.handle()), 0);
    ASSERT_TRUE(client.write("still"));
    client.shutdownWrite();
    ASSERT_TRUE(watched.waitFor([](const Conversation& c) { return c.state().readEnded; }));

    const Conversation::State state = conversation.state();
    EXPECT_TRUE(state.clientEnded && state.sendingClosed && !state.resetByServer && !state.canSend);
    EXPECT_EQ(watched.calls.load(), 2);
    // The client's "mid" lands somewhere among the file's blocks: take it out.
    std::vector<std::string> got = record(conversation.transcript());
    const auto mid = std::find(got.begin(), got.end(), "R:mid");
    ASSERT_NE(mid, got.end());
    got.erase(mid);
    got = joinSent(got);
    const std::vector<std::string> expected = {"R:hello", "S:one" + contents,
                "E:[Sent the file " + file.path().substr(file.path().rfind('/') + 1) + ": 4,194,307 bytes]",
                "S:afterabcdefg", "E:[Sent in 3 pieces of up to 3 bytes, 1 ms apart]",
                "E:[This side closed its sending: the client reads the end of the stream once everything above has "
                "gone out]",
                "R:still"};
    EXPECT_TRUE(got == expected) << ::testing::PrintToString(got.size());
    EXPECT_EQ(sentBytes(conversation), 3 + contents.size() + 5 + 7);
}

// A reply after the client reset goes nowhere: the record says so and shows
// what it was, and nothing of it counts as sent. A file that shrinks while it
// goes out is reported as cut short, with what did go out.
TEST(Conversation, FailedAndShortenedSendsSayWhatWentOut)
{
    CoreHarness h(unstarted());
    TestClient client;
    ASSERT_TRUE(client.open(4096) && client.connectOpened(h.listen()));
    Watched watched(h);
    Conversation& conversation = *watched.conversation;

    const std::string contents = patternBytes(8 * MB, 9);
    TemporaryFile file(contents);
    std::string error;
    ASSERT_NE(conversation.sendFile(file.path(), error), 0u);
    EXPECT_EQ(client.read(MB, 30s).size(), MB);
    ASSERT_EQ(::truncate(file.path().c_str(), static_cast<off_t>(MB)), 0);
    std::string received;
    ASSERT_TRUE(waitUntil([&] {
        received += client.read(MB, 100ms);
        return conversation.sendEntry(1).state == SendLedger::State::Written &&
               received.size() + MB == conversation.sendEntry(1).written;
    }, 30s));
    const std::uint64_t sent = conversation.sendEntry(1).written;
    EXPECT_LT(sent, contents.size());
    EXPECT_EQ(sentBytes(conversation), sent);

    client.reset();
    ASSERT_TRUE(watched.waitFor([](const Conversation& c) { return c.state().readEnded; }));
    EXPECT_FALSE(conversation.state().readEndReason.empty());
    const std::uint64_t id = conversation.send("too late");
    ASSERT_TRUE(watched.waitFor([id](const Conversation& c) { return c.sendEntry(id).state == SendLedger::State::Failed; }));
    EXPECT_EQ(conversation.sendEntry(id).written, 0u);
    EXPECT_EQ(sentBytes(conversation), sent);

    const Transcript& transcript = conversation.transcript();
    const TranscriptEvent last = transcript.event(transcript.eventCount() - 1);
    EXPECT_EQ(last.kind, EventKind::ReplyNotSent);
    EXPECT_EQ(last.bytes, "too late");
    EXPECT_EQ(last.text.rfind("[The reply above was not sent: ", 0), 0u);
    const std::vector<std::string> entries = record(transcript);
    const std::string name = file.path().substr(file.path().rfind('/') + 1);
    EXPECT_NE(std::find(entries.begin(), entries.end(),
                        "E:[The file " + name + " ended early: " + groupedNumber(sent) + " of 8,388,608 bytes were sent]"),
              entries.end());
}

// Rules answer on the connection's strand: a request split over two reads
// gets one reply, each firing is noted in the record, and with the rules
// switched off what comes is only recorded.
TEST(Conversation, RulesAnswerAndNoteWhatTheyDid)
{
    CoreHarness h(unstarted());
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto conversation = Conversation::create(h.takeProtocol(0));
    const RuleFileContents file = RuleFileReader::parse(
        R"({"version": 1, "rules": [{"name": "ping", "condition": {"kind": "contains", "value": "PING\n"},
            "actions": [{"reply": {"text": "PONG\n"}}]}]})");
    ASSERT_TRUE(file.ok()) << file.error;
    conversation->useRules(file.rules);
    conversation->start();

    ASSERT_TRUE(client.write("PI"));
    ASSERT_TRUE(waitUntil([&] { return conversation->transcript().size() == 2; }));
    ASSERT_TRUE(client.write("NG\n"));
    EXPECT_EQ(client.read(5), "PONG\n");
    EXPECT_EQ(conversation->ruleCounters()->hits(0), 1u);

    conversation->setRulesEnabled(false);
    ASSERT_TRUE(client.write("PING\n"));
    ASSERT_TRUE(waitUntil([&] { return conversation->transcript().size() == 15; }));
    conversation->send("marker");
    EXPECT_EQ(client.read(6), "marker");
    const std::vector<std::string> entries = record(conversation->transcript());
    EXPECT_NE(std::find(entries.begin(), entries.end(), "E:[rule 'ping' replied 5 bytes]"), entries.end());
    EXPECT_EQ(conversation->ruleCounters()->hits(0), 1u);
    conversation->close();
}
