// Reading from and writing to one accepted connection, through the Core and a
// PlainText protocol, with real clients on 127.0.0.1.

#include "CoreHarness.h"
#include "Session.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

using namespace TestSupport;

namespace
{
constexpr std::size_t MB = 1024 * 1024;

// Writes all of data without ever blocking for good.
bool writeAll(TestClient& client, const std::string& data)
{
    return client.writeUntilStalled(data, 5s, 30s) == data.size();
}

std::string endpointOf(const TestClient& client)
{
    return "127.0.0.1:" + std::to_string(client.localPort());
}
}

// ---------------------------------------------------------------------------
// Reading

TEST(SessionReading, BulkDataArrivesAsLoggedChunksInOrder)
{
    CoreHarness h;
    const unsigned short port = h.listen();
    ASSERT_NE(port, 0);
    TestClient client(port);
    ASSERT_TRUE(client.isConnected());
    ASSERT_TRUE(h.waitForConnections(1));
    auto recorder = h.recorder(0);

    const std::string payload = patternBytes(6 * MB, 1);
    ASSERT_TRUE(writeAll(client, payload));
    ASSERT_TRUE(recorder->waitForBytes(payload.size(), 20s));
    EXPECT_TRUE(recorder->data() == payload) << "the concatenated chunks differ from what was sent";

    const std::vector<std::size_t> sizes = recorder->emissionSizes();
    EXPECT_EQ(std::count(sizes.begin(), sizes.end(), std::size_t(0)), 0) << "end of reading reported early";
    EXPECT_LE(*std::max_element(sizes.begin(), sizes.end()), Session::maxChunkSize);
    // One "got N bytes." line per chunk, with the chunk's full size.
    EXPECT_EQ(h.log.gotByteCounts(), sizes);

    client.close();
    ASSERT_TRUE(recorder->waitForEnd());
    h.shutdown();
    EXPECT_EQ(recorder->endCount(), 1);
    EXPECT_EQ(recorder->emissionSizes().back(), 0u);
    EXPECT_EQ(h.log.gotByteCounts().size(), sizes.size()) << "a read after the end was logged";
}

TEST(SessionReading, ZeroBytesAreDeliveredAndDoNotEndTheConversation)
{
    CoreHarness h;
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto recorder = h.recorder(0);

    // Each segment is written only after the previous one was delivered, so
    // that every one of them is read on its own.
    const std::vector<std::string> segments = {
        std::string("a\0b", 3),
        std::string("\0xyz", 4), // begins with a zero byte
        std::string(1, '\0'),    // nothing but a zero byte
        std::string("more"),
    };
    std::string expected;
    for (const auto& segment : segments) {
        ASSERT_TRUE(client.write(segment));
        expected += segment;
        ASSERT_TRUE(recorder->waitForBytes(expected.size())) << "stopped after " << recorder->bytes() << " bytes";
    }
    EXPECT_EQ(recorder->data(), expected);
    EXPECT_EQ(recorder->emissionSizes(), (std::vector<std::size_t>{3, 4, 1, 4}));
    EXPECT_EQ(h.log.gotByteCounts(), (std::vector<std::size_t>{3, 4, 1, 4}));
    EXPECT_EQ(h.log.countLines("got 3 bytes."), 1);
    EXPECT_EQ(recorder->endCount(), 0);
}

// The read buffer is reused and resized from chunk to chunk: a short chunk
// after a long one, and a long one after a short one, must carry exactly
// their own bytes.
TEST(SessionReading, ChunksOfChangingSizeCarryOnlyTheirOwnBytes)
{
    CoreHarness h;
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto recorder = h.recorder(0);

    const std::vector<std::string> segments = {
        patternBytes(300000, 2), "tiny", patternBytes(700000, 3), std::string(1, 'x'), patternBytes(90000, 4),
    };
    std::string expected;
    for (const auto& segment : segments) {
        ASSERT_TRUE(writeAll(client, segment));
        expected += segment;
        ASSERT_TRUE(recorder->waitForBytes(expected.size())) << "stopped after " << recorder->bytes() << " bytes";
        EXPECT_TRUE(recorder->data() == expected) << "wrong bytes after a segment of " << segment.size();
    }
    EXPECT_EQ(recorder->endCount(), 0);
}

TEST(SessionReading, DataFollowedAtOnceByTheEndIsDeliveredWholeBeforeIt)
{
    CoreHarness h;
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto recorder = h.recorder(0);

    const std::string payload = patternBytes(2 * MB + 1, 5);
    ASSERT_TRUE(writeAll(client, payload));
    client.shutdownWrite();
    ASSERT_TRUE(recorder->waitForEnd());
    EXPECT_TRUE(recorder->data() == payload);
    EXPECT_EQ(recorder->endCount(), 1);
    EXPECT_EQ(recorder->emissionSizes().back(), 0u);
}

TEST(SessionReading, HalfCloseEndsReadingOnceAndTheConnectionStillSends)
{
    CoreHarness h;
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto recorder = h.recorder(0);
    auto protocol = h.protocol(0);

    ASSERT_TRUE(client.write("bye"));
    ASSERT_TRUE(recorder->waitForBytes(3));
    client.shutdownWrite();
    ASSERT_TRUE(recorder->waitForEnd());

    // Reading has ended, the socket has not: a reply still reaches the client.
    protocol->send("still here");
    EXPECT_EQ(client.read(10), "still here");
    protocol->close();
    std::string rest;
    EXPECT_TRUE(client.readUntilClosed(rest));
    EXPECT_EQ(rest, "");

    protocol.reset();
    h.shutdown();
    EXPECT_EQ(recorder->emissionSizes(), (std::vector<std::size_t>{3, 0}));
    EXPECT_EQ(h.log.gotByteCounts(), (std::vector<std::size_t>{3}));
}

TEST(SessionReading, ResetEndsReadingExactlyOnce)
{
    CoreHarness h;
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto recorder = h.recorder(0);
    ASSERT_TRUE(client.write("x"));
    ASSERT_TRUE(recorder->waitForBytes(1));
    client.reset();
    ASSERT_TRUE(recorder->waitForEnd());
    h.shutdown();
    EXPECT_EQ(recorder->emissionSizes(), (std::vector<std::size_t>{1, 0}));
}

TEST(SessionReading, NothingIsDeliveredAfterClose)
{
    CoreHarness h;
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto recorder = h.recorder(0);
    ASSERT_TRUE(client.write("first"));
    ASSERT_TRUE(recorder->waitForBytes(5));

    auto protocol = h.takeProtocol(0);
    protocol->close();
    EXPECT_TRUE(client.waitForClose()) << "close did not close the socket";
    // The client goes on talking to a closed connection and then hangs up.
    client.write("ignored");
    client.close();
    EXPECT_NO_THROW(protocol->close());

    // Once the Session is destroyed no handler of it can run any more.
    const int destroyedBefore = h.log.countLines("Destroying session ...");
    protocol.reset();
    ASSERT_TRUE(h.log.waitForLine("Destroying session ...", destroyedBefore + 1));
    EXPECT_EQ(recorder->emissionSizes(), (std::vector<std::size_t>{5}));
    EXPECT_EQ(recorder->endCount(), 0);
}

TEST(SessionReading, DataSentBeforeStartIsDeliveredAfterIt)
{
    CoreHarness::Options options;
    options.autoStart = false;
    CoreHarness h(options);
    TestClient client(h.listen());
    ASSERT_TRUE(client.write("early "));
    ASSERT_TRUE(client.write("bird"));
    ASSERT_TRUE(h.waitForConnections(1));
    auto recorder = h.recorder(0);
    EXPECT_EQ(h.log.countLinesStartingWith("got "), 0) << "read before start";
    EXPECT_EQ(recorder->emissionCount(), 0u);

    h.protocol(0)->start();
    ASSERT_TRUE(recorder->waitForBytes(10));
    ASSERT_TRUE(client.write("!"));
    ASSERT_TRUE(recorder->waitForBytes(11));
    EXPECT_EQ(recorder->data(), "early bird!");
}

// ---------------------------------------------------------------------------
// Writing

namespace
{
constexpr std::size_t blockTagSize = 8;

// A block of pattern bytes whose first bytes name it, so that it can be
// recognised wherever it lands in the stream.
std::string taggedBlock(int id, std::size_t size)
{
    std::string block = patternBytes(size, 1000 + id);
    const std::string tag = "#blk" + std::to_string(1000 + id).substr(1) + "#";
    block.replace(0, blockTagSize, tag);
    return block;
}

int blockId(const std::string& stream, std::size_t offset)
{
    if (stream.compare(offset, 4, "#blk") != 0)
        return -1;
    return std::atoi(stream.substr(offset + 4, 3).c_str());
}
}

TEST(SessionWriting, ConcurrentLargeSendsArriveWholeAndInCallOrder)
{
    CoreHarness h;
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto protocol = h.protocol(0);

    constexpr int threads = 4;
    constexpr int sendsPerThread = 2;
    constexpr std::size_t blockSize = 2 * MB;
    std::vector<std::string> blocks;
    for (int id = 0; id < threads * sendsPerThread; ++id)
        blocks.push_back(taggedBlock(id, blockSize));

    std::string received;
    {
        std::vector<JoiningThread> senders;
        for (int t = 0; t < threads; ++t)
            senders.emplace_back([&, t] {
                for (int i = 0; i < sendsPerThread; ++i)
                    protocol->send(blocks[t * sendsPerThread + i]);
            });
        received = client.read(blocks.size() * blockSize, 30s);
    }
    ASSERT_EQ(received.size(), blocks.size() * blockSize);

    // Every block lies whole at a multiple of the block size, each thread's in its call order.
    std::set<int> seen;
    std::vector<std::size_t> position(blocks.size());
    for (std::size_t slot = 0; slot < blocks.size(); ++slot) {
        const int id = blockId(received, slot * blockSize);
        ASSERT_GE(id, 0) << "no block starts at slot " << slot;
        ASSERT_LT(id, static_cast<int>(blocks.size()));
        EXPECT_TRUE(received.compare(slot * blockSize, blockSize, blocks[id]) == 0) << "block " << id << " mixed";
        EXPECT_TRUE(seen.insert(id).second) << "block " << id << " twice";
        position[id] = slot;
    }
    for (int t = 0; t < threads; ++t)
        for (int i = 1; i < sendsPerThread; ++i)
            EXPECT_LT(position[t * sendsPerThread + i - 1], position[t * sendsPerThread + i]);
    EXPECT_TRUE(h.log.waitForLine("sendDone.", threads * sendsPerThread));
}

TEST(SessionWriting, BackToBackSendsReachASlowReaderInOrder)
{
    CoreHarness h;
    const unsigned short port = h.listen();
    TestClient client;
    ASSERT_TRUE(client.open(4096));
    ASSERT_TRUE(client.connectOpened(port));
    ASSERT_TRUE(h.waitForConnections(1));
    auto protocol = h.protocol(0);

    std::string expected;
    for (int i = 0; i < 3; ++i) {
        const std::string block = patternBytes(3 * MB, 77 + i);
        EXPECT_TRUE(protocol->send(block) == block);
        if (i == 1) {
            EXPECT_EQ(protocol->send(""), "");
        }
        expected += block;
    }
    // Small reads keep the client's tiny window nearly closed, so the Session's
    // writes complete in many small parts.
    const std::string received = client.read(expected.size(), 30s, 1024);
    ASSERT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected) << "the sends were reordered or mixed";
    EXPECT_TRUE(h.log.waitForLine("sendDone.", 4));
}

TEST(SessionWriting, EmptySendCompletesAndWritesNothing)
{
    CoreHarness h;
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto protocol = h.protocol(0);

    protocol->send("");
    ASSERT_TRUE(h.log.waitForLine("sendDone."));
    protocol->send("x");
    ASSERT_TRUE(h.log.waitForLine("sendDone.", 2));
    protocol->close();
    std::string all;
    ASSERT_TRUE(client.readUntilClosed(all));
    EXPECT_EQ(all, "x");
}

// ---------------------------------------------------------------------------
// The client's address

TEST(SessionEndpoint, IsTheClientAddressAndOutlivesAReset)
{
    CoreHarness h;
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto protocol = h.protocol(0);
    const std::string expected = endpointOf(client);
    EXPECT_EQ(protocol->getEndpointString(), expected);

    client.reset();
    ASSERT_TRUE(h.recorder(0)->waitForEnd());
    EXPECT_EQ(protocol->getEndpointString(), expected);
}

// Every byte of the address in its shortest decimal form: one, two and three
// digits, zero included.
TEST(SessionEndpoint, IsWrittenInDottedDecimal)
{
    CoreHarness h;
    const unsigned short port = h.listen();
    TestClient client;
    ASSERT_TRUE(client.open());
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(0x7F2D00C8); // 127.45.0.200, a loopback address
    ASSERT_EQ(::bind(client.handle(), reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
    ASSERT_TRUE(client.connectOpened(port));
    ASSERT_TRUE(h.waitForConnections(1));
    EXPECT_EQ(h.protocol(0)->getEndpointString(), "127.45.0.200:" + std::to_string(client.localPort()));
}

TEST(SessionEndpoint, ClientsThatResetAtOnceDisturbNothing)
{
    CoreHarness h;
    const unsigned short port = h.listen();
    std::set<std::string> resetEndpoints = {"unknown"};
    for (int i = 0; i < 8; ++i) {
        TestClient quitter(port);
        ASSERT_TRUE(quitter.isConnected());
        resetEndpoints.insert(endpointOf(quitter));
        quitter.reset();
    }

    TestClient client(port);
    ASSERT_TRUE(client.isConnected());
    ASSERT_TRUE(client.write("hello"));
    const std::string clientEndpoint = endpointOf(client);
    // Accepting is sequential, so the well-behaved client is the last connection.
    std::size_t index = 0;
    ASSERT_TRUE(waitUntil([&] {
        const std::size_t count = h.connectionCount();
        if (count == 0 || h.protocol(count - 1)->getEndpointString() != clientEndpoint)
            return false;
        index = count - 1;
        return true;
    }));
    ASSERT_TRUE(h.recorder(index)->waitForBytes(5));
    EXPECT_EQ(h.recorder(index)->data(), "hello");
    h.protocol(index)->send("hi");
    EXPECT_EQ(client.read(2), "hi");

    for (std::size_t i = 0; i < index; ++i) {
        EXPECT_EQ(resetEndpoints.count(h.protocol(i)->getEndpointString()), 1u)
            << h.protocol(i)->getEndpointString();
        EXPECT_TRUE(h.recorder(i)->waitForEnd());
        EXPECT_EQ(h.recorder(i)->endCount(), 1);
    }
    EXPECT_EQ(h.log.countLinesStartingWith("handleAccept error: "), 0);
    EXPECT_EQ(h.log.countLinesStartingWith("IO thread caught"), 0);
}

// ---------------------------------------------------------------------------
// Send results and dead connections

namespace
{
// Every (id, error) that one protocol reported on sendResultSignal.
class SendResults
{
public:
    explicit SendResults(ProtocolBase& protocol)
    {
        protocol.sendResultSignal.connect([this](std::uint64_t id, const std::string& error) {
            std::lock_guard<std::mutex> lock(mutex);
            results.emplace_back(id, error);
        });
    }

    std::vector<std::pair<std::uint64_t, std::string>> all()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return results;
    }

    bool waitFor(std::size_t count) { return waitUntil([&] { return all().size() >= count; }); }

private:
    std::mutex mutex;
    std::vector<std::pair<std::uint64_t, std::string>> results;
};
}

// A client that ended its sending still gets replies; once it has gone
// altogether a write fails, is reported as failed, and the socket is given
// back.
TEST(SessionSendResults, HalfClosedClientGetsRepliesUntilItHasGone)
{
    CoreHarness h;
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto protocol = h.protocol(0);
    SendResults results(*protocol);
    client.shutdownWrite();
    ASSERT_TRUE(h.recorder(0)->waitForEnd());

    EXPECT_TRUE(protocol->canSend());
    EXPECT_EQ(protocol->sendFramed("reply"), 1u);
    EXPECT_EQ(client.read(5), "reply");
    ASSERT_TRUE(results.waitFor(1));
    EXPECT_EQ(results.all().front(), std::make_pair(std::uint64_t(1), std::string()));
    EXPECT_TRUE(protocol->canSend());

    // The first write after the client closed may still be taken by the
    // kernel; the reset it causes makes a later one fail.
    client.close();
    std::uint64_t id = 1;
    ASSERT_TRUE(waitUntil([&] {
        const auto sent = results.all();
        if (!sent.back().second.empty())
            return true;
        if (sent.size() == id)
            id = protocol->sendFramed("more");
        return false;
    }));
    const auto sent = results.all();
    EXPECT_EQ(sent.back().first, sent.size());
    EXPECT_EQ(h.log.countLinesStartingWith("send failed: " + sent.back().second), 1);
    EXPECT_EQ(h.log.countLines("sendDone."), static_cast<int>(sent.size()) - 1);
    EXPECT_FALSE(protocol->canSend());
}

// A reset ends everything: the socket goes back at once, and a later send
// fails instead of being reported as done.
TEST(SessionSendResults, ResetClientReleasesTheSocketAndSendsFail)
{
    CoreHarness h;
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto protocol = h.protocol(0);
    SendResults results(*protocol);
    EXPECT_TRUE(protocol->canSend());
    // Sockets rather than all descriptors: the sanitizers' runtime opens
    // pipes of its own now and then (to symbolize a stack, for one).
    const long openBefore = DescriptorLimit::openSockets();

    client.reset();
    ASSERT_TRUE(h.recorder(0)->waitForEnd());
    EXPECT_FALSE(protocol->canSend());
    // The client's descriptor and the connection's.
    EXPECT_EQ(DescriptorLimit::openSockets(), openBefore - 2);

    EXPECT_EQ(protocol->sendFramed("lost"), 1u);
    ASSERT_TRUE(results.waitFor(1));
    EXPECT_FALSE(results.all().front().second.empty());
    EXPECT_TRUE(h.log.waitForLineStartingWith("send failed: "));
    EXPECT_EQ(h.log.countLines("sendDone."), 0);
}

// ---------------------------------------------------------------------------
// Ending the sending side, resets, pieces and files

namespace
{
using Results = std::vector<std::pair<std::uint64_t, std::string>>;

// More than the server's send buffer and the client's fixed receive buffer
// hold together: a send of it stays under way while the client reads nothing.
constexpr std::size_t moreThanTheBuffersHold = 16 * MB;

// A client whose receive buffer is fixed, so that the kernel cannot grow it.
bool connectWithSmallWindow(TestClient& client, unsigned short port)
{
    return client.open(64 * 1024) && client.connectOpened(port);
}
}

TEST(SessionSending, ClosedSendingEndsTheStreamWhileTheClientIsStillHeard)
{
    CoreHarness h;
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto protocol = h.protocol(0);
    SendResults results(*protocol);

    EXPECT_EQ(protocol->sendFramed("reply"), 1u);
    protocol->closeSending();
    EXPECT_FALSE(protocol->canSend());
    EXPECT_EQ(protocol->sendFramed("late"), 2u);
    std::string received;
    ASSERT_TRUE(client.readUntilClosed(received));
    EXPECT_EQ(received, "reply");
    ASSERT_TRUE(results.waitFor(2));
    EXPECT_EQ(results.all(), (Results{{1, ""}, {2, "sending was closed"}}));

    ASSERT_TRUE(client.write("still here"));
    ASSERT_TRUE(h.recorder(0)->waitForBytes(10));
    EXPECT_EQ(h.recorder(0)->data(), "still here");
    protocol->closeSending();
    client.shutdownWrite();
    ASSERT_TRUE(h.recorder(0)->waitForEnd());
    EXPECT_EQ(h.log.countLines("sending closed."), 1);
    EXPECT_EQ(h.log.countLines("send failed: sending was closed"), 1);
}

TEST(SessionSending, ResetReachesTheClientAndFailsTheQueuedSends)
{
    CoreHarness h;
    TestClient client;
    ASSERT_TRUE(connectWithSmallWindow(client, h.listen()));
    ASSERT_TRUE(h.waitForConnections(1));
    auto protocol = h.protocol(0);
    SendResults results(*protocol);

    protocol->sendFramed(patternBytes(moreThanTheBuffersHold, 21));
    protocol->sendInPieces("queued", 2, 1ms);
    protocol->resetConnection();
    EXPECT_FALSE(protocol->canSend());
    EXPECT_EQ(readToEnd(client.handle()), ECONNRESET);
    ASSERT_TRUE(results.waitFor(2));
    const std::string reason = "connection reset by the server";
    EXPECT_EQ(results.all(), (Results{{1, reason}, {2, reason}}));
    ASSERT_TRUE(h.recorder(0)->waitForEnd());
    EXPECT_EQ(h.log.countLines("connection reset."), 1);
}

TEST(SessionSending, PiecesArriveWholeInOrderAndNoSoonerThanTheirDelays)
{
    CoreHarness h;
    TestClient client(h.listen());
    ASSERT_TRUE(h.waitForConnections(1));
    auto protocol = h.protocol(0);
    SendResults results(*protocol);

    EXPECT_EQ(protocol->sendInPieces("refused", 0, 1ms), 0u);
    const std::string text = patternBytes(20, 22);
    constexpr auto delay = 30ms;
    constexpr int pieces = 7; // of 3 bytes, the last of 2
    // Taken before the first piece can leave: a lower bound that scheduling cannot break.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(protocol->sendInPieces(text, 3, delay), 1u);
    EXPECT_EQ(protocol->sendFramed("after"), 2u);
    EXPECT_EQ(client.read(text.size()), text);
    EXPECT_GE(std::chrono::steady_clock::now() - start, (pieces - 1) * delay);
    EXPECT_EQ(client.read(5), "after");
    ASSERT_TRUE(results.waitFor(2));
    EXPECT_EQ(results.all(), (Results{{1, ""}, {2, ""}}));
}

TEST(SessionSending, FilesArriveByteForByteAndUnreadableOnesSendNothing)
{
    CoreHarness h;
    TestClient client;
    ASSERT_TRUE(connectWithSmallWindow(client, h.listen()));
    ASSERT_TRUE(h.waitForConnections(1));
    auto protocol = h.protocol(0);
    SendResults results(*protocol);
    SentDataRecorder sentData(*protocol);
    const std::string contents = patternBytes(3 * MB + 5, 23);
    TemporaryFile file(contents);

    std::string error;
    EXPECT_EQ(protocol->sendFile(file.directory() + "/missing", error), 0u);
    EXPECT_EQ(error, "No such file or directory");
    EXPECT_EQ(protocol->sendFile(file.directory(), error), 0u);
    EXPECT_EQ(error, "not a regular file");
    EXPECT_EQ(protocol->sendFile(file.path(), error), 1u);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(client.read(contents.size(), 30s) == contents);
    ASSERT_TRUE(results.waitFor(1));
    EXPECT_TRUE(sentData.bytes() == contents);
    EXPECT_LE(sentData.largestBlock(), Session::fileBlockSize);

    // A file that is gone when its turn comes fails with the system's reason.
    const std::string first = patternBytes(moreThanTheBuffersHold, 24);
    protocol->sendFramed(first);
    TemporaryFile vanishing("never sent");
    EXPECT_EQ(protocol->sendFile(vanishing.path(), error), 3u);
    ::unlink(vanishing.path().c_str());
    protocol->sendFramed("end");
    EXPECT_TRUE(client.read(first.size() + 3, 30s) == first + "end");
    ASSERT_TRUE(results.waitFor(4));
    EXPECT_EQ(results.all()[2], std::make_pair(std::uint64_t(3), std::string("No such file or directory")));
    EXPECT_EQ(h.log.countLines("send failed: No such file or directory"), 1);
    // Every write is reported, the replies around the failed file too.
    EXPECT_TRUE(sentData.bytes() == contents + first + "end");
}
