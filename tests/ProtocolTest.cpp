// The protocol factory, PlainText, and the lifetime of a protocol object
// against its Session's IO threads.

#include "CoreHarness.h"
#include "Http.h"
#include "PlainText.h"
#include "ProtocolFactory.h"
#include "Session.h"

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

using namespace TestSupport;

TEST(ProtocolFactory, MakesTheProtocolOfEachTypeAndRejectsOthers)
{
    LogCapture log;
    boost::asio::io_context io;
    {
        auto session = Session::getInstance(io);
        for (int value : {2, -1}) {
            const std::size_t before = log.lines().size();
            try {
                ProtocolFactory::create(static_cast<ProtocolFactory::ProtocolType>(value), session);
                ADD_FAILURE() << "type " << value << " was accepted";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Undefined protocol type.");
            }
            std::vector<std::string> lines = log.lines();
            lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(before));
            EXPECT_EQ(lines, std::vector<std::string>{"Creating protocol..."}) << "type " << value;
        }

        auto plain = ProtocolFactory::create(ProtocolFactory::PLAIN_TEXT, session);
        EXPECT_NE(dynamic_cast<PlainText*>(plain.get()), nullptr);
        EXPECT_FALSE(plain->hasAttributes());
        auto http = ProtocolFactory::create(ProtocolFactory::HTTP, Session::getInstance(io));
        EXPECT_NE(dynamic_cast<Http*>(http.get()), nullptr);
        EXPECT_TRUE(http->hasAttributes());
        EXPECT_EQ(log.countLines("PlainText protocol created..."), 1);
        EXPECT_EQ(log.countLines("Http protocol created..."), 1);
    }
    // Run what the protocols' destructors left queued (closing their sockets).
    io.restart();
    io.run();
    EXPECT_EQ(log.countLines("Destroying session ..."), 2);
}

TEST(PlainTextProtocol, SendsUnchangedAndIgnoresAttributes)
{
    CoreHarness h;
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto protocol = h.protocol(0);
    EXPECT_FALSE(protocol->hasAttributes());

    protocol->setAttributes({{"Content-Type", "text/html"}, {"Content-Length", "99"}});
    const std::string raw("line\r\n\0end", 10);
    EXPECT_EQ(protocol->send("abc"), "abc");
    EXPECT_EQ(protocol->send(""), "");
    EXPECT_EQ(protocol->send(raw), raw);
    ASSERT_TRUE(h.log.waitForLine("sendDone.", 3));
    protocol->close();
    std::string all;
    ASSERT_TRUE(client.readUntilClosed(all));
    EXPECT_EQ(all, "abc" + raw);
}

TEST(PlainTextProtocol, EachChunkIsOneEmission)
{
    CoreHarness h;
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto recorder = h.recorder(0);
    ASSERT_TRUE(client.write("one\n"));
    ASSERT_TRUE(recorder->waitForBytes(4));
    ASSERT_TRUE(client.write("two"));
    ASSERT_TRUE(recorder->waitForBytes(7));
    EXPECT_EQ(recorder->data(), "one\ntwo");
    EXPECT_EQ(recorder->emissionSizes(), (std::vector<std::size_t>{4, 3}));
}

namespace
{
// Sets a flag when destroyed, so that the owner can stop its work.
struct StopOnExit
{
    std::atomic<bool>& stop;
    ~StopOnExit() { stop = true; }
};
}

// The last reference to a protocol goes on the test thread while its Session
// delivers chunks on the IO threads at full speed. Run under the sanitizers,
// this catches a chunk reaching a protocol that is being destroyed.
TEST(ProtocolLifetime, DroppedWhileChunksStreamIn)
{
    CoreHarness h;
    const unsigned short port = h.listen();
    constexpr int rounds = 25;
    for (int round = 0; round < rounds; ++round) {
        TestClient client(port);
        ASSERT_TRUE(client.isConnected());
        ASSERT_TRUE(h.waitForConnections(round + 1));
        auto recorder = h.recorder(round);
        {
            std::atomic<bool> stop{false};
            const std::string block = patternBytes(256 * 1024, round);
            JoiningThread writer([&] {
                while (!stop) {
                    bool stalled = false;
                    const std::size_t n = client.writeUntilStalled(block, 100ms, 2s, &stalled);
                    if (n < block.size() && !stalled)
                        return; // the connection is gone
                }
            });
            StopOnExit stopWriter{stop};

            ASSERT_TRUE(recorder->waitForBytes(64 * 1024)) << "round " << round;
            boost::shared_ptr<ProtocolBase> protocol = h.takeProtocol(round);
            protocol.reset();
            ASSERT_TRUE(h.log.waitForLine("Destroying session ...", round + 1)) << "round " << round;
        }
        EXPECT_EQ(recorder->endCount(), 0) << "end of reading delivered after the protocol went, round " << round;
    }
    EXPECT_EQ(h.log.countLinesStartingWith("IO thread caught"), 0);
}

TEST(ProtocolLifetime, ClosedWhileChunksStreamInThenDropped)
{
    CoreHarness h;
    const unsigned short port = h.listen();
    TestClient client(port);
    ASSERT_TRUE(h.waitForConnections(1));
    auto recorder = h.recorder(0);
    std::atomic<bool> stop{false};
    const std::string block = patternBytes(256 * 1024, 3);
    JoiningThread writer([&] {
        while (!stop) {
            bool stalled = false;
            if (client.writeUntilStalled(block, 100ms, 2s, &stalled) < block.size() && !stalled)
                return;
        }
    });
    StopOnExit stopWriter{stop};
    ASSERT_TRUE(recorder->waitForBytes(64 * 1024));

    auto protocol = h.takeProtocol(0);
    protocol->close();
    const std::size_t afterClose = recorder->bytes();
    protocol.reset();
    ASSERT_TRUE(h.log.waitForLine("Destroying session ..."));
    // At most the chunk that was being delivered when close came got through.
    EXPECT_LE(recorder->bytes() - afterClose, Session::maxChunkSize);
    EXPECT_EQ(recorder->endCount(), 0);
}
