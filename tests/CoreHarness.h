#pragma once

#include "Core.h"
#include "TestSupport.h"

#include <boost/shared_ptr.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace TestSupport
{
// Everything one protocol reported on readDataSignal, from the IO threads.
class ChunkRecorder
{
public:
    void onData(const std::string& chunk);

    // Concatenation of every non-empty emission.
    std::string data();
    std::size_t bytes();
    // Size of every emission in order; 0 stands for the end-of-reading string.
    std::vector<std::size_t> emissionSizes();
    std::size_t emissionCount();
    int endCount();

    bool waitForBytes(std::size_t n, std::chrono::milliseconds timeout = 10s);
    bool waitForEnd(std::chrono::milliseconds timeout = 10s);

private:
    std::mutex mutex;
    std::string received;
    std::vector<std::size_t> sizes;
    int ends = 0;
};

// Every block one protocol reported on sentDataSignal, concatenated.
class SentDataRecorder
{
public:
    explicit SentDataRecorder(ProtocolBase& protocol);

    std::string bytes();
    std::size_t largestBlock();

private:
    std::mutex mutex;
    std::string sent;
    std::size_t largest = 0;
};

// A Core listening on a port the system picks, whose newProtocolSignal
// listener keeps every protocol with a recorder subscribed to it. Owns the log
// capture, so that it outlives the IO threads. Closes every kept protocol and
// shuts the Core down when destroyed.
class CoreHarness
{
public:
    struct Options
    {
        ProtocolFactory::ProtocolType type = ProtocolFactory::PLAIN_TEXT;
        // false: nobody listens to newProtocolSignal.
        bool keepProtocols = true;
        bool autoStart = true;
        // Runs on the IO thread for every new protocol, after the recorder is
        // subscribed and before the protocol is started.
        std::function<void(ProtocolBase&)> beforeStart;
    };

    CoreHarness();
    explicit CoreHarness(Options options);
    ~CoreHarness();

    CoreHarness(const CoreHarness&) = delete;
    CoreHarness& operator=(const CoreHarness&) = delete;

    // Starts listening on a system-chosen port and returns it.
    unsigned short listen();
    // The same on 127.0.0.1 only, its clients speaking TLS.
    unsigned short listenWithTls(std::shared_ptr<ListenerContext> tls);

    std::size_t connectionCount();
    bool waitForConnections(std::size_t n, std::chrono::milliseconds timeout = 10s);
    boost::shared_ptr<ProtocolBase> protocol(std::size_t index);
    std::shared_ptr<ChunkRecorder> recorder(std::size_t index);
    // Hands over the harness's reference to the protocol.
    boost::shared_ptr<ProtocolBase> takeProtocol(std::size_t index);

    // Closes and drops every kept protocol.
    void closeAll();
    // Stops keeping new protocols, closeAll, then Core::shutdown; returns how
    // long the shutdown took. Recorders taken before stay readable.
    std::chrono::milliseconds shutdown();

    LogCapture log;

private:
    struct Connection
    {
        boost::shared_ptr<ProtocolBase> protocol;
        std::shared_ptr<ChunkRecorder> recorder;
    };

    void onNewProtocol(const boost::shared_ptr<ProtocolBase>& protocol);

    Options options;
    std::mutex mutex;
    std::vector<Connection> connections;
    bool keeping = true;
    bool shutDown = false;

public:
    // Last member: destroyed first, while everything its IO threads use is alive.
    Core core;
};

// True when a client connecting to address and port becomes the newest
// connection, shown by its address ("[::1]:1025" for an IPv6 one) and port,
// and can talk to it both ways.
::testing::AssertionResult roundTrip(CoreHarness& h, unsigned short port, const std::string& address = "127.0.0.1");
}
