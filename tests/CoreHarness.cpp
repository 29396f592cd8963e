#include "CoreHarness.h"

#include <algorithm>
#include <utility>

namespace TestSupport
{
void ChunkRecorder::onData(const std::string& chunk)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (chunk.empty())
        ++ends;
    else
        received += chunk;
    sizes.push_back(chunk.size());
}

std::string ChunkRecorder::data()
{
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}

std::size_t ChunkRecorder::bytes()
{
    std::lock_guard<std::mutex> lock(mutex);
    return received.size();
}

std::vector<std::size_t> ChunkRecorder::emissionSizes()
{
    std::lock_guard<std::mutex> lock(mutex);
    return sizes;
}

std::size_t ChunkRecorder::emissionCount()
{
    std::lock_guard<std::mutex> lock(mutex);
    return sizes.size();
}

int ChunkRecorder::endCount()
{
    std::lock_guard<std::mutex> lock(mutex);
    return ends;
}

bool ChunkRecorder::waitForBytes(std::size_t n, std::chrono::milliseconds timeout)
{
    return waitUntil([&] { return bytes() >= n; }, timeout);
}

bool ChunkRecorder::waitForEnd(std::chrono::milliseconds timeout)
{
    return waitUntil([&] { return endCount() > 0; }, timeout);
}

SentDataRecorder::SentDataRecorder(ProtocolBase& protocol)
{
    protocol.sentDataSignal.connect([this](std::uint64_t, const std::string& block) {
        std::lock_guard<std::mutex> lock(mutex);
        sent += block;
        largest = std::max(largest, block.size());
    });
}

std::string SentDataRecorder::bytes()
{
    std::lock_guard<std::mutex> lock(mutex);
    return sent;
}

std::size_t SentDataRecorder::largestBlock()
{
    std::lock_guard<std::mutex> lock(mutex);
    return largest;
}

CoreHarness::CoreHarness()
    : CoreHarness(Options())
{
}

CoreHarness::CoreHarness(Options opts)
    : options(std::move(opts))
{
    // The configuration is process-wide: every test states what it needs.
    core.setListenPort(0);
    core.setProtocolType(options.type);
    if (options.keepProtocols)
        core.newProtocolSignal.connect([this](boost::shared_ptr<ProtocolBase> protocol) {
            onNewProtocol(protocol);
        });
}

CoreHarness::~CoreHarness()
{
    if (!shutDown)
        shutdown();
}

void CoreHarness::onNewProtocol(const boost::shared_ptr<ProtocolBase>& protocol)
{
    auto recorder = std::make_shared<ChunkRecorder>();
    protocol->readDataSignal.connect([recorder](std::string chunk) { recorder->onData(chunk); });
    if (options.beforeStart)
        options.beforeStart(*protocol);
    {
        std::lock_guard<std::mutex> lock(mutex);
        // Once shutting down, a late client's protocol is dropped, which closes it.
        if (!keeping)
            return;
        connections.push_back({protocol, recorder});
    }
    if (options.autoStart)
        protocol->start();
}

unsigned short CoreHarness::listen()
{
    core.setListenPort(0);
    core.startListening();
    return core.getBoundPort();
}

unsigned short CoreHarness::listenWithTls(std::shared_ptr<ListenerContext> tls)
{
    const auto loopback = BindAddress::one(boost::asio::ip::make_address("127.0.0.1"));
    core.startListening({ListenPlace{loopback, 0, std::move(tls)}});
    return core.getBoundPort();
}

std::size_t CoreHarness::connectionCount()
{
    std::lock_guard<std::mutex> lock(mutex);
    return connections.size();
}

bool CoreHarness::waitForConnections(std::size_t n, std::chrono::milliseconds timeout)
{
    return waitUntil([&] { return connectionCount() >= n; }, timeout);
}

boost::shared_ptr<ProtocolBase> CoreHarness::protocol(std::size_t index)
{
    std::lock_guard<std::mutex> lock(mutex);
    return index < connections.size() ? connections[index].protocol : nullptr;
}

std::shared_ptr<ChunkRecorder> CoreHarness::recorder(std::size_t index)
{
    std::lock_guard<std::mutex> lock(mutex);
    return index < connections.size() ? connections[index].recorder : nullptr;
}

boost::shared_ptr<ProtocolBase> CoreHarness::takeProtocol(std::size_t index)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (index >= connections.size())
        return nullptr;
    return std::move(connections[index].protocol);
}

void CoreHarness::closeAll()
{
    std::vector<Connection> all;
    {
        std::lock_guard<std::mutex> lock(mutex);
        all.swap(connections);
    }
    for (auto& connection : all)
        if (connection.protocol)
            connection.protocol->close();
}

std::chrono::milliseconds CoreHarness::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        keeping = false;
    }
    closeAll();
    const auto start = std::chrono::steady_clock::now();
    core.shutdown();
    shutDown = true;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

::testing::AssertionResult roundTrip(CoreHarness& h, unsigned short port, const std::string& address)
{
    const std::size_t before = h.connectionCount();
    TestClient client;
    if (!client.connectTo(address, port))
        return ::testing::AssertionFailure() << "connect to " << address << " port " << port << " failed";
    if (!h.waitForConnections(before + 1))
        return ::testing::AssertionFailure() << "not accepted";
    const bool ipv6 = address.find(':') != std::string::npos;
    const std::string shown = (ipv6 ? "[" + address + "]" : address) + ":" + std::to_string(client.localPort());
    if (h.protocol(before)->getEndpointString() != shown)
        return ::testing::AssertionFailure() << h.protocol(before)->getEndpointString() << " shown for " << shown;
    if (!client.write("ping") || !h.recorder(before)->waitForBytes(4))
        return ::testing::AssertionFailure() << "nothing read";
    h.protocol(before)->send("pong");
    if (client.read(4) != "pong")
        return ::testing::AssertionFailure() << "no reply";
    return ::testing::AssertionSuccess();
}
}
