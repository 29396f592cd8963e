#include "Log.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <iostream>
#include <mutex>
#include <thread>

namespace Log
{
namespace
{
// How long the writer lets the lines of a burst gather before writing them.
constexpr std::chrono::milliseconds gatherTime(2);
// A buffer that grew beyond this during a flood is given back afterwards.
constexpr std::size_t keptCapacity = 256 * 1024;

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
        // One buffer for all queued lines: no allocation per line once it has grown.
        queue.append(text);
        queue += '\n';
        queuedBytes = queue.size() + writingBytes;
        ++queuedCount;
        if (writerWaiting || queuedBytes >= queueLimit / 2)
            linesAvailable.notify_one();
    }

    void flush()
    {
        std::unique_lock<std::mutex> lock(mutex);
        const std::uint64_t target = queuedCount;
        ++flushWaiters;
        linesAvailable.notify_one();
        allWritten.wait(lock, [this, target] { return writtenCount >= target; });
        --flushWaiters;
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            writerWaiting = true;
            linesAvailable.wait(lock, [this] { return !queue.empty(); });
            writerWaiting = false;
            // Waking this thread for every line cost the threads that log
            // more than the lines themselves: once woken it lets the lines of
            // a burst gather first, unless someone waits for them.
            linesAvailable.wait_for(lock, gatherTime,
                                    [this] { return flushWaiters > 0 || queuedBytes >= queueLimit / 2; });
            writing.swap(queue);
            writingBytes = writing.size();
            const std::uint64_t taken = queuedCount;
            lock.unlock();
            std::cout.write(writing.data(), static_cast<std::streamsize>(writing.size()));
            std::cout.flush();
            lock.lock();
            // Room is made only once the lines are out: the limit bounds
            // everything not yet written.
            writing.clear();
            if (writing.capacity() > keptCapacity)
                std::string().swap(writing);
            writingBytes = 0;
            queuedBytes = queue.size();
            writtenCount = taken;
            allWritten.notify_all();
            roomAvailable.notify_all();
        }
    }

    std::mutex mutex;
    std::condition_variable linesAvailable;
    std::condition_variable roomAvailable;
    std::condition_variable allWritten;
    // Whole lines, each ending in a newline: those queued, and those the
    // writer is writing (its buffer is swapped with the queue's).
    std::string queue;
    std::string writing;
    std::size_t writingBytes = 0;
    // Bytes queued and being written.
    std::size_t queuedBytes = 0;
    std::uint64_t queuedCount = 0;
    std::uint64_t writtenCount = 0;
    bool writerWaiting = false;
    int flushWaiters = 0;
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
