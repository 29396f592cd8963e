// The Core: configuration, the protocol given to each connection, and shutdown.

#include "CoreHarness.h"
#include "Http.h"
#include "Log.h"
#include "PlainText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <algorithm>
#include <iostream>
#include <thread>

using namespace TestSupport;

namespace
{

const std::vector<std::string> shutdownLines = {
    "Stopping server...",         "Server stopped.",     "Shutting down Server...",
    "Stopping all IO threads...", "Io threads stopped.", "Shutting down Server finished.",
};

std::vector<std::string> onlyShutdownLines(const std::vector<std::string>& lines)
{
    std::vector<std::string> out;
    for (const auto& line : lines)
        if (std::find(shutdownLines.begin(), shutdownLines.end(), line) != shutdownLines.end())
            out.push_back(line);
    return out;
}
}

// The configuration is a process-wide singleton that every other test
// changes, so the defaults are checked in a process of their own.
TEST(CoreDefaultsDeathTest, AFreshCoreHasTheDefaultConfiguration)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bool ok = false;
            {
                LogCapture log;
                Core core;
                std::cerr << "port " << core.getListenPort() << " threads " << core.getNumberOfThreads()
                          << " type " << static_cast<int>(core.getProtocolType()) << std::endl;
                ok = core.getListenPort() == 2222 && core.getNumberOfThreads() == 2
                     && core.getProtocolType() == ProtocolFactory::PLAIN_TEXT;
                core.shutdown();
            }
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "port 2222 threads 2 type 0");
}

TEST(CoreConfiguration, ThreadCountIsOnlyStored)
{
    // A sanitizer may start a helper thread with the first thread the process
    // makes; the log's writer thread starts with the first line.
    std::thread([] {}).join();
    Log::flush();
    const int threadsBefore = threadCount();
    {
        CoreHarness h;
        EXPECT_EQ(threadCount(), threadsBefore + 2);
        const unsigned int saved = h.core.getNumberOfThreads();
        h.core.setNumberOfThreads(8);
        EXPECT_EQ(h.core.getNumberOfThreads(), 8u);
        EXPECT_TRUE(roundTrip(h, h.listen()));
        EXPECT_EQ(threadCount(), threadsBefore + 2);
        h.core.setNumberOfThreads(saved);
    }
    EXPECT_EQ(threadCount(), threadsBefore);
}

TEST(CoreConfiguration, NewListenPortTakesEffectAtTheNextStart)
{
    CoreHarness h;
    const unsigned short first = h.listen();
    unsigned short next = 0;
    for (int attempt = 0; attempt < 5 && next == 0; ++attempt) {
        const unsigned short candidate = pickFreePort();
        if (candidate == first)
            continue;
        h.core.setListenPort(candidate);
        EXPECT_EQ(h.core.getBoundPort(), first) << "the open listener changed its port";
        h.core.stopListening();
        if (!h.core.startListening().bound.empty())
            next = candidate;
    }
    ASSERT_NE(next, 0);
    EXPECT_EQ(h.core.getListenPort(), next);
    EXPECT_EQ(h.core.getBoundPort(), next);
    EXPECT_TRUE(roundTrip(h, next));
}

TEST(CoreProtocols, NewTypeAppliesToLaterClientsOnly)
{
    CoreHarness h;
    const unsigned short port = h.listen();
    TestClient before(port);
    ASSERT_TRUE(h.waitForConnections(1));

    h.core.setProtocolType(ProtocolFactory::HTTP);
    EXPECT_EQ(h.core.getProtocolType(), ProtocolFactory::HTTP);
    TestClient after(port);
    ASSERT_TRUE(h.waitForConnections(2));

    auto plain = h.protocol(0);
    auto http = h.protocol(1);
    EXPECT_NE(dynamic_cast<PlainText*>(plain.get()), nullptr);
    EXPECT_FALSE(plain->hasAttributes());
    EXPECT_NE(dynamic_cast<Http*>(http.get()), nullptr);
    EXPECT_TRUE(http->hasAttributes());
    EXPECT_EQ(h.log.countLines("PlainText protocol created..."), 1);
    EXPECT_EQ(h.log.countLines("Http protocol created..."), 1);

    plain->send("plain");
    EXPECT_EQ(before.read(5), "plain");
    http->send("x");
    const std::string response = "HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx";
    EXPECT_EQ(after.read(response.size()), response);
}

TEST(CoreProtocols, UndefinedTypeClosesTheConnectionAndTheIoThreadsGoOn)
{
    CoreHarness h;
    const unsigned short port = h.listen();
    // More bad clients than IO threads, so that each thread meets one in all likelihood.
    for (int value : {2, 2, 2, -1, -1}) {
        h.core.setProtocolType(static_cast<ProtocolFactory::ProtocolType>(value));
        TestClient client(port);
        ASSERT_TRUE(client.isConnected());
        EXPECT_TRUE(client.waitForClose()) << "type " << value;
    }
    EXPECT_TRUE(h.log.waitForLine("Couldn't create protocol: Undefined protocol type.", 5));
    EXPECT_EQ(h.log.countLines("Creating protocol..."), 5);
    EXPECT_EQ(h.log.countLines("PlainText protocol created..."), 0);
    EXPECT_EQ(h.log.countLines("Http protocol created..."), 0);
    EXPECT_EQ(h.connectionCount(), 0u);

    h.core.setProtocolType(ProtocolFactory::PLAIN_TEXT);
    EXPECT_TRUE(roundTrip(h, port));
    EXPECT_TRUE(roundTrip(h, port));
    EXPECT_EQ(h.log.countLinesStartingWith("IO thread caught"), 0);
}

TEST(CoreProtocols, WithoutAListenerTheConnectionIsClosed)
{
    CoreHarness::Options options;
    options.keepProtocols = false;
    CoreHarness h(options);
    TestClient client(h.listen());
    ASSERT_TRUE(client.isConnected());
    EXPECT_TRUE(client.waitForClose());
    EXPECT_TRUE(h.log.waitForLine("Destroying session ..."));
    EXPECT_EQ(h.log.countLines("PlainText protocol created..."), 1);
}

TEST(CoreShutdown, AfterConnectionsEndedIsPromptAndOrdered)
{
    CoreHarness h;
    const unsigned short port = h.listen();
    std::vector<std::shared_ptr<ChunkRecorder>> recorders;
    for (int i = 0; i < 3; ++i) {
        TestClient client(port);
        ASSERT_TRUE(h.waitForConnections(i + 1));
        ASSERT_TRUE(client.write("hi"));
        recorders.push_back(h.recorder(i));
        ASSERT_TRUE(recorders.back()->waitForBytes(2));
    }
    for (auto& recorder : recorders)
        ASSERT_TRUE(recorder->waitForEnd());
    // One client stays connected; its protocol is closed before the shutdown.
    TestClient stays(port);
    ASSERT_TRUE(h.waitForConnections(4));

    const auto took = h.shutdown();
    EXPECT_LT(took, 3s);
    EXPECT_EQ(onlyShutdownLines(h.log.lines()), shutdownLines);
    EXPECT_TRUE(stays.waitForClose());
    for (auto& recorder : recorders)
        EXPECT_EQ(recorder->endCount(), 1);
}

TEST(CoreShutdown, WhileListeningWithoutConnectionsIsPromptAndOrdered)
{
    CoreHarness h;
    h.listen();
    EXPECT_LT(h.shutdown(), 3s);
    EXPECT_EQ(onlyShutdownLines(h.log.lines()), shutdownLines);
    EXPECT_EQ(h.log.countLinesStartingWith("handleAccept error: "), 1);
}

TEST(CoreShutdown, WithoutEverListeningIsPromptAndOrdered)
{
    CoreHarness h;
    const std::size_t before = h.log.lines().size();
    EXPECT_LT(h.shutdown(), 3s);
    std::vector<std::string> lines = h.log.lines();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(before));
    EXPECT_EQ(lines, shutdownLines);
}
