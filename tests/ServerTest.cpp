// The accept loop: starting, stopping and replacing the listener, ports, and
// accept errors.

#include "CoreHarness.h"

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>

using namespace TestSupport;

namespace
{
// A socket listening on 127.0.0.1 at a port the system picks.
class Squatter
{
public:
    Squatter()
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
            && ::listen(fd, 1) == 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port = ntohs(address.sin_port);
    }
    ~Squatter()
    {
        if (fd >= 0)
            ::close(fd);
    }
    unsigned short port = 0;

private:
    int fd = -1;
};


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
        "start Listening...", "Starting server...", "Session created...", "Server started.",
        "Connection accepted...", "Creating protocol...", "PlainText protocol created...", "Session created...",
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

TEST(Listening, PortInUseThrowsAndALaterStartWorks)
{
    CoreHarness h;
    Squatter squatter;
    ASSERT_NE(squatter.port, 0);
    h.core.setListenPort(squatter.port);
    try {
        h.core.startListening();
        FAIL() << "listening on a taken port did not throw";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::asio::error::address_in_use) << e.what();
    }
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
        try {
            h.core.startListening();
            port = candidate;
        } catch (const boost::system::system_error&) {
        }
    }
    ASSERT_NE(port, 0);
    EXPECT_EQ(h.core.getListenPort(), 65536u + port);
    EXPECT_EQ(h.core.getBoundPort(), port);
    EXPECT_TRUE(roundTrip(h, port));
}

namespace
{
// Under UBSan every dynamic type check met for the first time reads the vtable
// through a pipe; with no descriptor left that fails and is reported as an
// invalid object. So everything the accept loop does while descriptors are
// exhausted is done once beforehand: an accepted connection, an aborted accept
// with its waiting Session, and a shared timer like the retry's.
void rehearseTheAcceptErrorPath(CoreHarness& h, unsigned short& port)
{
    EXPECT_TRUE(roundTrip(h, port));
    EXPECT_TRUE(waitForNextAccept(h, h.log.countLines("Connection accepted...")));
    const int errors = h.log.countLinesStartingWith("handleAccept error: ");
    port = h.listen();
    EXPECT_TRUE(h.log.waitForLineStartingWith("handleAccept error: ", errors + 1));
    boost::asio::io_context io;
    auto timer = boost::make_shared<boost::asio::steady_timer>(io, 1ms);
    timer->async_wait([timer](const boost::system::error_code&) {});
    io.run();
}
}

TEST(Listening, AcceptingResumesAfterDescriptorExhaustion)
{
    CoreHarness h;
    unsigned short port = h.listen();
    rehearseTheAcceptErrorPath(h, port);
    const std::size_t before = h.connectionCount();

    TestClient client;
    // The client's own descriptor must exist before the limit is lowered.
    ASSERT_TRUE(client.open());
    {
        DescriptorLimit limit;
        ASSERT_TRUE(limit.exhaust());
        const bool connected = client.connectOpened(port);
        const bool refused = h.log.waitForLine("handleAccept error: Too many open files", 1, 5s);
        limit.restore();
        ASSERT_TRUE(connected);
        ASSERT_TRUE(refused) << h.log.text();
    }

    // The loop retries on its own; the waiting client gets in.
    ASSERT_TRUE(h.waitForConnections(before + 1));
    ASSERT_TRUE(client.write("in"));
    ASSERT_TRUE(h.recorder(before)->waitForBytes(2));
    h.protocol(before)->send("welcome");
    EXPECT_EQ(client.read(7), "welcome");
    EXPECT_TRUE(roundTrip(h, port));
}

// During the pause after an accept error no accept is outstanding either.
TEST(Listening, StopDuringTheRetryPauseEndsTheLoopWithOneMoreLine)
{
    CoreHarness h;
    unsigned short port = h.listen();
    rehearseTheAcceptErrorPath(h, port);
    const int abortedBefore = h.log.countLines("handleAccept error: Operation canceled");

    TestClient client;
    ASSERT_TRUE(client.open());
    {
        DescriptorLimit limit;
        ASSERT_TRUE(limit.exhaust());
        const bool connected = client.connectOpened(port);
        const bool refused = h.log.waitForLine("handleAccept error: Too many open files", 1, 5s);
        // Normally still inside the pause; on a slow run the retry may have
        // failed once more, which ends the same way.
        h.core.stopListening();
        limit.restore();
        ASSERT_TRUE(connected);
        ASSERT_TRUE(refused) << h.log.text();
    }
    ASSERT_TRUE(h.log.waitForLine("handleAccept error: Operation canceled", abortedBefore + 1));
    EXPECT_TRUE(connectionRefused(port));

    h.shutdown();
    EXPECT_EQ(h.log.countLines("handleAccept error: Operation canceled"), abortedBefore + 1);
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
