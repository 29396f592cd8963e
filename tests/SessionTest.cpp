#include "Core.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace TestSupport;

namespace
{
// Collects every chunk a protocol reports, from the IO threads.
struct ChunkRecorder
{
    std::mutex mutex;
    std::vector<std::string> chunks;

    void onData(std::string data)
    {
        std::lock_guard<std::mutex> lock(mutex);
        chunks.push_back(std::move(data));
    }
    std::vector<std::string> snapshot()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return chunks;
    }
};
}

TEST(Smoke, ClientBytesArriveAndReplyGoesBack)
{
    LogCapture log;
    {
        Core core;
        core.setListenPort(0);
        std::mutex mutex;
        std::vector<boost::shared_ptr<ProtocolBase>> protocols;
        auto recorder = std::make_shared<ChunkRecorder>();
        core.newProtocolSignal.connect([&](boost::shared_ptr<ProtocolBase> protocol) {
            protocol->readDataSignal.connect([recorder](std::string d) { recorder->onData(std::move(d)); });
            protocol->start();
            std::lock_guard<std::mutex> lock(mutex);
            protocols.push_back(protocol);
        });
        core.startListening();
        TestClient client(core.getBoundPort());
        ASSERT_TRUE(client.isConnected());
        ASSERT_TRUE(client.write(std::string("he\0llo", 6)));
        ASSERT_TRUE(waitUntil([&] { return !recorder->snapshot().empty(); }));
        EXPECT_EQ(recorder->snapshot().at(0), std::string("he\0llo", 6));
        EXPECT_TRUE(log.waitForLine("got 6 bytes."));
        {
            std::lock_guard<std::mutex> lock(mutex);
            protocols.at(0)->send("hi");
        }
        EXPECT_EQ(client.read(2), "hi");
        client.close();
        ASSERT_TRUE(waitUntil([&] { auto c = recorder->snapshot(); return c.size() == 2 && c[1].empty(); }));
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (auto& p : protocols)
                p->close();
            protocols.clear();
        }
        core.shutdown();
    }
}
