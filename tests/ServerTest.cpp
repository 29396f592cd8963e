// The accept loop: starting, stopping and replacing the listener, ports,
// accept errors, and the descriptors it keeps free.

#include "CoreHarness.h"
#include "FileDescriptors.h"

#include <boost/asio/error.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>

using namespace TestSupport;

namespace
{
// Once a listener has accepted `accepted` clients, waits until its next accept
// is outstanding: the Session for it is made under the same lock that
// stopListening and startListening take. Stopping then takes the usual path,
// aborting that accept; the tests below cover stopping before it.
bool waitForNextAccept(CoreHarness& h, int accepted)
{
    return h.log.waitForLine("Session created...", accepted + 1);
}

// Runs `action` on the IO thread while the first client is being announced,
// that is after its accept completed and before the next accept is issued.
void onFirstAnnouncement(CoreHarness& h, std::function<void()> action)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    h.core.newProtocolSignal.connect([done, action](const boost::shared_ptr<ProtocolBase>&) {
        if (!done->exchange(true))
            action();
    });
}

bool connectionRefused(unsigned short port)
{
    TestClient client;
    return !client.connect(port);
}
}

TEST(Listening, StartAndAcceptLogTheirStepsInOrder)
{
    CoreHarness h;
    const unsigned short port = h.listen();
    ASSERT_NE(port, 0);
    TestClient client(port);
    ASSERT_TRUE(h.log.waitForLine("Session created...", 2));
    const std::vector<std::string> expected = {
        "Creating server...", "Starting threads...", "starting thread 1", "starting thread 2",
        "Threads started...", "Server created.",
        "start Listening...", "Starting server...", "Listening on [::]:" + std::to_string(port) + " (IPv6 and IPv4)",
        "Session created...", "Server started.", "Connection accepted...", "Creating protocol...",
        "PlainText protocol created...", "Session created...",
    };
    std::vector<std::string> lines = h.log.lines();
    lines.resize(std::min(lines.size(), expected.size()));
    EXPECT_EQ(lines, expected);
}

TEST(Listening, StopEndsTheAcceptLoopAndKeepsConnections)
{
    CoreHarness h;
    const unsigned short port = h.listen();
    TestClient kept(port);
    ASSERT_TRUE(h.waitForConnections(1));
    ASSERT_TRUE(waitForNextAccept(h, 1));
    const std::size_t linesBefore = h.log.lines().size();

    h.core.stopListening();
    EXPECT_EQ(h.core.getBoundPort(), 0);
    ASSERT_TRUE(h.log.waitForLineStartingWith("handleAccept error: "));
    // The Session that waited in the aborted accept goes away.
    ASSERT_TRUE(h.log.waitForLine("Destroying session ..."));
    std::vector<std::string> lines = h.log.lines();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(linesBefore));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Stopping server..."), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Server stopped."), 1);
    EXPECT_TRUE(std::find(lines.begin(), lines.end(), "Stopping server...")
                < std::find(lines.begin(), lines.end(), "Server stopped."));

    EXPECT_TRUE(connectionRefused(port));
    ASSERT_TRUE(kept.write("still"));
    ASSERT_TRUE(h.recorder(0)->waitForBytes(5));
    h.protocol(0)->send("open");
    EXPECT_EQ(kept.read(4), "open");

    h.shutdown();
    EXPECT_EQ(h.log.countLinesStartingWith("handleAccept error: "), 1);
    EXPECT_EQ(h.log.countLines("Connection accepted..."), 1);
}

// No accept is outstanding while a client is announced: closing has none to abort.
TEST(Listening, StopWhileAClientIsAnnouncedStillEndsTheLoopWithOneLine)
{
    CoreHarness h;
    onFirstAnnouncement(h, [&h] { h.core.stopListening(); });
    const unsigned short port = h.listen();
    TestClient client(port);
    ASSERT_TRUE(h.waitForConnections(1));
    ASSERT_TRUE(h.log.waitForLineStartingWith("handleAccept error: "));
    EXPECT_TRUE(connectionRefused(port));
    EXPECT_TRUE(h.log.waitForLine("Server stopped."));

    h.shutdown();
    EXPECT_EQ(h.log.countLines("handleAccept error: Operation canceled"), 1);
    EXPECT_EQ(h.log.countLinesStartingWith("handleAccept error: "), 1);
}

TEST(Listening, ReplacingWhileAClientIsAnnouncedEndsTheOldLoopWithOneLine)
{
    CoreHarness h;
    onFirstAnnouncement(h, [&h] { h.core.startListening(); });
    const unsigned short firstPort = h.listen();
    TestClient client(firstPort);
    ASSERT_TRUE(h.waitForConnections(1));
    ASSERT_TRUE(h.log.waitForLineStartingWith("handleAccept error: "));
    ASSERT_TRUE(h.log.waitForLine("Server started.", 2));
    const unsigned short secondPort = h.core.getBoundPort();
    ASSERT_NE(secondPort, 0);
    EXPECT_TRUE(roundTrip(h, secondPort));

    h.shutdown();
    // One for the replaced loop, one for the shutdown's.
    EXPECT_EQ(h.log.countLinesStartingWith("handleAccept error: "), 2);
}

TEST(Listening, StopWhenNotListeningWritesOnlyItsTwoLines)
{
    CoreHarness h;
    std::string before = h.log.text();
    h.core.stopListening();
    EXPECT_EQ(h.log.text().substr(before.size()), "Stopping server...\nServer stopped.\n");

    // Again after listening has been stopped and its aborted accept has ended.
    h.listen();
    h.core.stopListening();
    ASSERT_TRUE(h.log.waitForLine("Destroying session ..."));
    before = h.log.text();
    h.core.stopListening();
    EXPECT_EQ(h.log.text().substr(before.size()), "Stopping server...\nServer stopped.\n");
}

TEST(Listening, StartingAgainReplacesTheListener)
{
    CoreHarness h;
    const unsigned short firstPort = h.listen();
    TestClient early(firstPort);
    ASSERT_TRUE(h.waitForConnections(1));
    ASSERT_TRUE(waitForNextAccept(h, 1));

    const unsigned short secondPort = h.listen();
    ASSERT_NE(secondPort, 0);
    ASSERT_TRUE(h.log.waitForLineStartingWith("handleAccept error: "));
    EXPECT_TRUE(roundTrip(h, secondPort));
    if (secondPort != firstPort) {
        EXPECT_TRUE(connectionRefused(firstPort));
    }
    // The connection accepted by the old listener is untouched.
    ASSERT_TRUE(early.write("old"));
    EXPECT_TRUE(h.recorder(0)->waitForBytes(3));

    h.shutdown();
    // One line for the replaced listener's accept, one for the shutdown's.
    EXPECT_EQ(h.log.countLinesStartingWith("handleAccept error: "), 2);
    EXPECT_EQ(h.log.countLines("Server started."), 2);
}

TEST(Listening, PortInUseFailsAndALaterStartWorks)
{
    CoreHarness h;
    Squatter squatter;
    ASSERT_NE(squatter.port, 0);
    h.core.setListenPort(squatter.port);
    const ListenResult result = h.core.startListening();
    EXPECT_TRUE(result.bound.empty());
    ASSERT_EQ(result.failures.size(), 1u);
    EXPECT_EQ(result.failures[0].endpoint.port, squatter.port);
    EXPECT_EQ(result.failures[0].reason, "Address already in use");
    EXPECT_EQ(h.log.countLines("Couldn't listen on " + result.failures[0].endpoint.text() + ": Address already in use"),
              1);
    EXPECT_EQ(h.log.countLines("Server started."), 0);
    EXPECT_EQ(h.core.getBoundPort(), 0);
    EXPECT_NO_THROW(h.core.stopListening());

    const unsigned short port = h.listen();
    ASSERT_NE(port, 0);
    EXPECT_EQ(h.log.countLines("Server started."), 1);
    EXPECT_TRUE(roundTrip(h, port));
}

TEST(Listening, PortBeyond16BitsUsesItsLow16Bits)
{
    CoreHarness h;
    unsigned short port = 0;
    // The port is free when picked; another process could take it before we
    // bind, so try a few.
    for (int attempt = 0; attempt < 5 && port == 0; ++attempt) {
        const unsigned short candidate = pickFreePort();
        ASSERT_NE(candidate, 0);
        h.core.setListenPort(65536u + candidate);
        if (!h.core.startListening().bound.empty())
            port = candidate;
    }
    ASSERT_NE(port, 0);
    EXPECT_EQ(h.core.getListenPort(), 65536u + port);
    EXPECT_EQ(h.core.getBoundPort(), port);
    EXPECT_TRUE(roundTrip(h, port));
}

namespace
{
// Counts the announcements of acceptingPausedSignal.
struct PauseAnnouncements
{
    std::atomic<int> paused{0};
    std::atomic<int> resumed{0};

    explicit PauseAnnouncements(Core& core)
    {
        core.acceptingPausedSignal.connect(
            [this](bool isPaused, std::uint64_t, std::uint64_t) { ++(isPaused ? paused : resumed); });
    }
};
}

// With fewer descriptors free than the reserve, the accept that was already
// waiting takes one more client and the loop pauses: the next client waits in
// the backlog until descriptors are free again. Stopping during the pause ends
// the loop with its one line. The limit always leaves some descriptors free,
// so no accept ever fails and nothing spins. Enough descriptors are open for
// the whole reserve to apply.
TEST(Listening, AcceptingPausesNearTheDescriptorLimitResumesAndStops)
{
    DescriptorBallast ballast(4 * DescriptorBudget::maxReserve);
    CoreHarness h;
    PauseAnnouncements announcements(h.core);
    const unsigned short port = h.listen();
    TestClient first, waiting, last;
    // The clients' own descriptors exist before the limit is lowered.
    ASSERT_TRUE(first.open() && waiting.open() && last.open());
    const unsigned int belowTheReserve = DescriptorBudget::maxReserve / 2;
    {
        DescriptorLimit limit;
        ASSERT_TRUE(limit.leaveFree(belowTheReserve));
        const long socketsBefore = DescriptorLimit::openSockets();
        ASSERT_TRUE(first.connectOpened(port));
        ASSERT_TRUE(h.log.waitForLineStartingWith("Accepting paused: too few file descriptors free ("));
        ASSERT_TRUE(waiting.connectOpened(port));
        ASSERT_TRUE(waitUntil([&] { return announcements.paused == 1; }));
        EXPECT_EQ(h.connectionCount(), 1u);
        // Only the accept already waiting when the limit fell took a descriptor.
        EXPECT_EQ(DescriptorLimit::openSockets(), socketsBefore + 1);
    }
    ASSERT_TRUE(h.log.waitForLine("Accepting resumed."));
    ASSERT_TRUE(h.waitForConnections(2));
    ASSERT_TRUE(waiting.write("in"));
    ASSERT_TRUE(h.recorder(1)->waitForBytes(2));
    h.protocol(1)->send("welcome");
    EXPECT_EQ(waiting.read(7), "welcome");
    ASSERT_TRUE(waitUntil([&] { return announcements.resumed == 1; }));

    {
        DescriptorLimit limit;
        ASSERT_TRUE(limit.leaveFree(belowTheReserve));
        ASSERT_TRUE(last.connectOpened(port));
        ASSERT_TRUE(h.log.waitForLineStartingWith("Accepting paused: too few file descriptors free (", 2));
        h.core.stopListening();
    }
    ASSERT_TRUE(h.log.waitForLine("handleAccept error: Operation canceled"));
    EXPECT_TRUE(connectionRefused(port));
    // Dropping the paused listener announces the end of the pause.
    EXPECT_TRUE(waitUntil([&] { return announcements.resumed == 2; }));

    h.shutdown();
    EXPECT_EQ(announcements.paused, 2);
    EXPECT_EQ(h.log.countLinesStartingWith("handleAccept error: "), 1);
    EXPECT_EQ(h.log.countLines("Accepting resumed."), 1);
}

TEST(Listening, ThrowingProtocolListenerDoesNotStopAccepting)
{
    bool first = true;
    CoreHarness h;
    h.core.newProtocolSignal.connect([&first](const boost::shared_ptr<ProtocolBase>&) {
        if (first) {
            first = false;
            throw std::runtime_error("listener broke");
        }
    });
    const unsigned short port = h.listen();
    TestClient victim(port);
    ASSERT_TRUE(h.log.waitForLine("newSessionSignal listener failed: listener broke"));
    // The harness's listener ran first and keeps the protocol; the throw did
    // not end the loop.
    EXPECT_TRUE(roundTrip(h, port));
    EXPECT_EQ(h.log.countLinesStartingWith("IO thread caught"), 0);
}

// The registry of ended connections holds weak references, up to its
// capacity, hands out the oldest first and knows when those asked are done.
TEST(DescriptorReserve, EndedSessionsAreBoundedAndReleasedOldestFirst)
{
    boost::asio::io_context context;
    auto ended = std::make_shared<EndedSessions>(2);
    auto first = Session::getInstance(context, ended);
    auto second = Session::getInstance(context, ended);
    auto third = Session::getInstance(context, ended);
    const std::uint64_t firstTicket = ended->enter(first);
    EXPECT_NE(firstTicket, 0u);
    EXPECT_NE(ended->enter(second), 0u);
    EXPECT_EQ(ended->enter(third), 0u);
    EXPECT_EQ(ended->size(), 2u);

    ended->leave(firstTicket);
    ended->leave(firstTicket);
    EXPECT_EQ(ended->size(), 1u);
    EXPECT_NE(ended->enter(third), 0u);
    // One gone meanwhile is skipped, not counted.
    second.reset();
    EXPECT_EQ(ended->releaseOldest(5), 1u);
    EXPECT_EQ(ended->size(), 0u);
    EXPECT_TRUE(ended->releasesUnderWay());
    context.run();
    EXPECT_FALSE(ended->releasesUnderWay());
}

// With a limit of 64 descriptors the reserve is a quarter of it, and clients
// are served. Once accepting pauses, clients that ended their sending make
// room: the oldest to end give their sockets back, their owners are told, and
// the waiting client is accepted. Open connections keep theirs, and so do
// ended ones not needed for room, which can still be answered.
TEST(DescriptorReserve, ALowLimitServesClientsAndEndedOnesMakeRoom)
{
    auto releasedMutex = std::make_shared<std::mutex>();
    auto released = std::make_shared<std::set<std::string>>();
    CoreHarness::Options options;
    options.beforeStart = [releasedMutex, released](ProtocolBase& protocol) {
        const std::string endpoint = protocol.getEndpointString();
        protocol.eventSignal.connect([releasedMutex, released, endpoint](Session::Event event, const std::string&) {
            if (event != Session::Event::ReleasedForNewClients)
                return;
            std::lock_guard<std::mutex> lock(*releasedMutex);
            released->insert(endpoint);
        });
    };
    CoreHarness h(options);
    const unsigned short port = h.listen();
    DescriptorLimit limit;
    // 64 in a process of its own, as CTest runs it; more when earlier tests
    // left descriptors open, so that as many clients end as are needed.
    ASSERT_TRUE(limit.lowerTo(std::max<unsigned int>(64, FileDescriptors::countOpen() + 55)));
    const std::string pausedLine = "Accepting paused: too few file descriptors free (";

    std::vector<TestClient> clients;
    clients.reserve(64);
    while (clients.size() < 64 && h.connectionCount() == clients.size()) {
        clients.emplace_back();
        ASSERT_TRUE(clients.back().connectTo("127.0.0.1", port));
        ASSERT_TRUE(waitUntil([&] {
            return h.connectionCount() == clients.size() || h.log.countLinesStartingWith(pausedLine) > 0;
        }));
    }
    const std::size_t accepted = h.connectionCount();
    ASSERT_EQ(accepted + 1, clients.size());
    ASSERT_GE(accepted, 6u);
    const std::uint64_t limitNow = FileDescriptors::limit();
    const std::string resumeLevel = std::to_string(DescriptorBudget::reserveFor(limitNow)
                                                   + DescriptorBudget::resumeHeadroomFor(limitNow) + 1);
    EXPECT_EQ(h.log.countLinesStartingWith(pausedLine), 1);
    EXPECT_TRUE(h.log.text().find(" free, waiting for " + resumeLevel + ")\n") != std::string::npos);
    EXPECT_TRUE(clients[0].write("a") && h.recorder(0)->waitForBytes(1));

    // The two first stay open; the others end their sending one after the other.
    constexpr std::size_t keptOpen = 2;
    for (std::size_t i = keptOpen; i < accepted; ++i) {
        clients[i].shutdownWrite();
        ASSERT_TRUE(h.recorder(i)->waitForEnd());
    }
    ASSERT_TRUE(h.waitForConnections(accepted + 1));
    const auto releasedCount = [&] {
        std::lock_guard<std::mutex> lock(*releasedMutex);
        return released->size();
    };
    const auto unusable = [&] {
        std::size_t count = 0;
        for (std::size_t i = 0; i < accepted; ++i)
            count += h.protocol(i)->canSend() ? 0 : 1;
        return count;
    };
    ASSERT_TRUE(waitUntil([&] { return releasedCount() > 0 && releasedCount() == unusable(); }));
    EXPECT_GE(h.log.countLinesStartingWith("Releasing "), 1);
    EXPECT_LT(releasedCount(), accepted - keptOpen);
    for (std::size_t i = 0; i < accepted; ++i) {
        const bool wasReleased = released->count(h.protocol(i)->getEndpointString()) == 1;
        EXPECT_EQ(wasReleased, i >= keptOpen && i < keptOpen + releasedCount()) << i;
        if (wasReleased) {
            EXPECT_TRUE(clients[i].waitForClose());
        }
    }
    EXPECT_EQ(h.core.getEndedConnectionCount(), accepted - keptOpen - releasedCount());

    // The waiting client, an open one and an ended one not released are answered.
    for (const std::size_t i : {accepted, std::size_t{0}, accepted - 1}) {
        h.protocol(i)->send("late");
        EXPECT_EQ(clients[i].read(4), "late") << i;
    }
    // Closing an ended connection takes it out of the registry.
    const std::size_t ended = h.core.getEndedConnectionCount();
    h.protocol(accepted - 1)->close();
    EXPECT_TRUE(waitUntil([&] { return h.core.getEndedConnectionCount() == ended - 1; }));
    limit.restore();
}
