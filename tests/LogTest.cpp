// Log lines go out through one writer thread: a standard output that takes no
// more holds up only threads that log past the queue's limit, never the GUI
// thread, and nothing is lost or mixed.

#include "ByteEscaper.h"
#include "Log.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>
#include <vector>

using namespace TestSupport;

namespace
{
// A standard output that takes nothing until it is opened, like a full pipe.
class StuckOutput : public std::streambuf
{
public:
    StuckOutput()
        : previous((Log::flush(), std::cout.rdbuf(this)))
    {
    }
    ~StuckOutput() override
    {
        open();
        Log::flush();
        std::cout.rdbuf(previous);
    }

    void open()
    {
        std::lock_guard<std::mutex> lock(mutex);
        opened = true;
        changed.notify_all();
    }

    bool waitUntilWriting()
    {
        return waitUntil([this] {
            std::lock_guard<std::mutex> lock(mutex);
            return writing;
        });
    }

    std::string text()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return written;
    }

private:
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        writing = true;
        changed.wait(lock, [this] { return opened; });
        written.append(s, static_cast<std::size_t>(n));
        return n;
    }
    int overflow(int c) override
    {
        const char character = static_cast<char>(c);
        xsputn(&character, 1);
        return traits_type::not_eof(c);
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool opened = false;
    bool writing = false;
    std::string written;
    std::streambuf* previous;
};
}

TEST(Log, StuckOutputHoldsUpOnlyThreadsPastTheLimit)
{
    const std::string big(1024 * 1024, 'x');
    const std::size_t bigLines = Log::queueLimit / big.size() + 1;
    StuckOutput output;
    Log::line("first");
    ASSERT_TRUE(output.waitUntilWriting());

    // The GUI thread's lines go past the limit without waiting.
    std::atomic<bool> guiDone{false};
    JoiningThread gui([&] {
        Log::setNonBlockingThread();
        for (std::size_t i = 0; i < bigLines; ++i)
            Log::line(i, big);
        guiDone = true;
    });
    const bool guiReturned = waitUntil([&] { return guiDone.load(); });
    // Any other thread waits for room.
    std::atomic<bool> ioDone{false};
    JoiningThread io([&] {
        Log::line("last");
        ioDone = true;
    });
    const bool ioWaited = !waitUntil([&] { return ioDone.load(); }, 200ms);
    output.open();
    gui.join();
    io.join();
    Log::flush();

    EXPECT_TRUE(guiReturned);
    EXPECT_TRUE(ioWaited);
    std::string expected = "first\n";
    for (std::size_t i = 0; i < bigLines; ++i)
        expected += std::to_string(i) + big + "\n";
    expected += "last\n";
    EXPECT_TRUE(output.text() == expected) << "lines lost, reordered or mixed";
}

// Bytes handed over raw are escaped by the writer, in pieces, into lines that
// are the same as escaping them whole, and that lines of other threads never
// split.
TEST(Log, BytesEscapedByTheWriterMakeWholeLines)
{
    std::string bytes;
    while (bytes.size() < 300 * 1024)
        for (int byte = 0; byte < 256; ++byte)
            bytes += static_cast<char>(byte);
    std::string escaped = "bytes:";
    appendEscaped(escaped, bytes.data(), bytes.size());

    StuckOutput output;
    output.open();
    constexpr int chunks = 12;
    constexpr int others = 300;
    {
        JoiningThread io([&] {
            for (int i = 0; i < chunks; ++i)
                Log::writeLine("bytes:", bytes.data(), bytes.size(), appendEscaped);
        });
        for (int i = 0; i < others; ++i)
            Log::line("other ", i);
    }
    Log::flush();

    int chunkLines = 0;
    int nextOther = 0;
    const std::string text = output.text();
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        const std::string line = text.substr(at, end - at);
        if (line == "other " + std::to_string(nextOther))
            ++nextOther;
        else
            ASSERT_TRUE(line == escaped) << "a line split or changed at byte " << at;
        chunkLines += line == escaped;
        at = end + 1;
    }
    EXPECT_EQ(chunkLines, chunks);
    EXPECT_EQ(nextOther, others);
}
