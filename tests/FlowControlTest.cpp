// pauseReading / resumeReading: a reader that has fallen behind holds its
// client back through TCP, and only that client.

#include "CoreHarness.h"
#include "Session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

using namespace TestSupport;

namespace
{
constexpr std::size_t MB = 1024 * 1024;
}

TEST(FlowControl, PausedConnectionHoldsItsClientBackWhileOthersGoOn)
{
    CoreHarness h;
    const unsigned short port = h.listen();
    TestClient writer(port);
    ASSERT_TRUE(writer.isConnected());
    ASSERT_TRUE(h.waitForConnections(1));
    auto paused = h.protocol(0);
    auto pausedRecorder = h.recorder(0);
    paused->pauseReading();

    // The client writes as fast as the kernel takes it, until it is refused
    // for a while: then only the socket buffers (and at most the one chunk
    // that was being read when the pause came) hold its data.
    const std::string payload = patternBytes(16 * MB, 5);
    bool stalled = false;
    const std::size_t accepted = writer.writeUntilStalled(payload, 400ms, 8s, &stalled);
    EXPECT_TRUE(stalled) << "the client was never held back; " << accepted << " bytes accepted";
    EXPECT_LT(accepted, 8 * MB);
    const std::size_t deliveredWhilePaused = pausedRecorder->bytes();
    EXPECT_LE(deliveredWhilePaused, Session::maxChunkSize);

    // Another connection talks both ways and the accept loop goes on.
    TestClient other(port);
    ASSERT_TRUE(h.waitForConnections(2));
    ASSERT_TRUE(other.write("ping"));
    ASSERT_TRUE(h.recorder(1)->waitForBytes(4));
    h.protocol(1)->send("pong");
    EXPECT_EQ(other.read(4), "pong");
    TestClient third(port);
    ASSERT_TRUE(h.waitForConnections(3));

    EXPECT_EQ(pausedRecorder->bytes(), deliveredWhilePaused) << "bytes were delivered while paused";

    paused->resumeReading();
    ASSERT_TRUE(pausedRecorder->waitForBytes(accepted, 20s)) << pausedRecorder->bytes() << " of " << accepted;
    EXPECT_TRUE(pausedRecorder->data() == payload.substr(0, accepted)) << "bytes lost or reordered across the pause";
    EXPECT_EQ(pausedRecorder->endCount(), 0);
}

TEST(FlowControl, PauseFromTheReadSlotHoldsEachChunkUntilResumed)
{
    // The listener pauses its own connection on every chunk, on the IO thread,
    // and counts its pauses: a resume only means something after the pause.
    auto pauses = std::make_shared<std::atomic<std::size_t>>(0);
    CoreHarness::Options options;
    options.beforeStart = [pauses](ProtocolBase& protocol) {
        protocol.readDataSignal.connect([&protocol, pauses](const std::string& chunk) {
            if (!chunk.empty()) {
                protocol.pauseReading();
                ++*pauses;
            }
        });
    };
    CoreHarness h(options);
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto protocol = h.protocol(0);
    auto recorder = h.recorder(0);

    const std::string payload = patternBytes(MB, 9);
    std::atomic<std::size_t> written{0};
    JoiningThread writer([&] { written = client.writeUntilStalled(payload, 5s, 20s); });

    // Every resume lets exactly one more chunk through.
    std::size_t resumes = 0;
    while (recorder->bytes() < payload.size()) {
        const std::size_t expected = resumes + 1;
        ASSERT_TRUE(waitUntil([&] { return pauses->load() >= expected; }))
            << "no chunk after resume " << resumes << ", " << recorder->bytes() << " bytes so far";
        ASSERT_EQ(recorder->emissionCount(), expected) << "a chunk got through while paused";
        ++resumes;
        protocol->resumeReading();
    }
    writer.join();
    EXPECT_EQ(written.load(), payload.size());
    EXPECT_TRUE(recorder->data() == payload);
    // The listener pauses after the recorder has seen the chunk.
    EXPECT_TRUE(waitUntil([&] { return pauses->load() == recorder->emissionCount(); }));
}

TEST(FlowControl, PauseAndResumeInsideTheReadSlotKeepEveryByte)
{
    CoreHarness::Options options;
    options.beforeStart = [](ProtocolBase& protocol) {
        protocol.readDataSignal.connect([&protocol](const std::string& chunk) {
            if (!chunk.empty()) {
                protocol.pauseReading();
                protocol.resumeReading();
            }
        });
    };
    CoreHarness h(options);
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto recorder = h.recorder(0);

    const std::string payload = patternBytes(4 * MB, 11);
    ASSERT_EQ(client.writeUntilStalled(payload, 5s, 30s), payload.size());
    ASSERT_TRUE(recorder->waitForBytes(payload.size(), 20s));
    EXPECT_TRUE(recorder->data() == payload);
    client.close();
    ASSERT_TRUE(recorder->waitForEnd());
}

TEST(FlowControl, ClosingAPausedConnectionEndsItQuietly)
{
    CoreHarness h;
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto protocol = h.protocol(0);
    auto recorder = h.recorder(0);
    protocol->pauseReading();
    ASSERT_TRUE(client.write("held"));
    ASSERT_TRUE(recorder->waitForBytes(4));

    protocol->close();
    EXPECT_TRUE(client.waitForClose());
    protocol->resumeReading();
    protocol.reset();
    // Nothing is outstanding on the parked connection: shutdown does not wait for it.
    EXPECT_LT(h.shutdown(), 5s);
    EXPECT_EQ(recorder->emissionSizes(), (std::vector<std::size_t>{4}));
}
