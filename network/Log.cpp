#include "Log.h"

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

namespace Log
{
namespace
{
// Besides its text, a queued line is counted with what a deque entry and a
// string header cost, so that a flood of empty lines is bounded as well.
constexpr std::size_t perLineOverhead = 48;

thread_local bool nonBlockingThread = false;

// The queue and its writer thread. Made on first use and never destroyed: IO
// threads may still log while the process exits, so the writer stays; every
// line queued by then is written by the exit handler's flush.
class Writer
{
public:
    Writer()
        : thread([this] { run(); })
    {
        thread.detach();
    }

    void push(const std::string& text)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!nonBlockingThread)
            roomAvailable.wait(lock, [this] { return queuedBytes < queueLimit; });
        queue.push_back(text);
        queuedBytes += text.size() + perLineOverhead;
        ++queuedCount;
        if (writerWaiting)
            linesAvailable.notify_one();
    }

    void flush()
    {
        std::unique_lock<std::mutex> lock(mutex);
        const std::uint64_t target = queuedCount;
        allWritten.wait(lock, [this, target] { return writtenCount >= target; });
    }

private:
    void run()
    {
        std::deque<std::string> batch;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            writerWaiting = true;
            linesAvailable.wait(lock, [this] { return !queue.empty(); });
            writerWaiting = false;
            batch.swap(queue);
            lock.unlock();
            const std::size_t batchBytes = write(batch);
            const std::size_t written = batch.size();
            batch.clear();
            lock.lock();
            // Room is made only once the lines are out: the limit bounds
            // everything not yet written.
            queuedBytes -= batchBytes;
            writtenCount += written;
            allWritten.notify_all();
            roomAvailable.notify_all();
        }
    }

    // Returns the bytes the lines were counted with in the queue.
    static std::size_t write(const std::deque<std::string>& lines)
    {
        std::size_t counted = 0;
        for (const std::string& line : lines) {
            std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
            std::cout.put('\n');
            counted += line.size() + perLineOverhead;
        }
        std::cout.flush();
        return counted;
    }

    std::mutex mutex;
    std::condition_variable linesAvailable;
    std::condition_variable roomAvailable;
    std::condition_variable allWritten;
    std::deque<std::string> queue;
    std::size_t queuedBytes = 0;
    std::uint64_t queuedCount = 0;
    std::uint64_t writtenCount = 0;
    bool writerWaiting = false;
    std::thread thread;
};

Writer& writer()
{
    static Writer* const instance = [] {
        auto* made = new Writer();
        std::atexit([] { Log::flush(); });
        return made;
    }();
    return *instance;
}
}

void writeLine(const std::string& text)
{
    writer().push(text);
}

void setNonBlockingThread()
{
    nonBlockingThread = true;
}

NonBlockingScope::NonBlockingScope()
    : previous(nonBlockingThread)
{
    nonBlockingThread = true;
}

NonBlockingScope::~NonBlockingScope()
{
    nonBlockingThread = previous;
}

void flush()
{
    writer().flush();
}
}
