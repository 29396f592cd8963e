#include "Log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <iostream>
#include <mutex>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace Log
{
namespace
{
// How long the writer lets the lines of a burst gather before writing them.
constexpr std::chrono::milliseconds gatherTime(2);
// Buffers that grew beyond this during a flood are kept while lines keep
// coming (growing them again for every batch cost page faults and copies) and
// given back once the writer has had nothing to do for releaseAfter.
constexpr std::size_t keptCapacity = 256 * 1024;
constexpr std::chrono::milliseconds releaseAfter(500);
// The writer formats bytes this many at a time, and writes its output once it
// holds this much: the formatted text of a large chunk is never held whole.
constexpr std::size_t formatPiece = 64 * 1024;
constexpr std::size_t outputPiece = 256 * 1024;

thread_local bool nonBlockingThread = false;
std::atomic<Destination> chosenDestination{Destination::StandardOutput};

// What precedes each line in the queue: its text, then its bytes, follow.
struct Entry
{
    std::size_t textLength;
    std::size_t byteCount;
    ByteFormat format;
};

// True when the descriptor is /dev/null: what is written there is gone
// unseen, so formatting it would only take time from the threads that read.
bool isDevNull(int fd)
{
    struct stat out{};
    struct stat null{};
    return ::fstat(fd, &out) == 0 && ::stat("/dev/null", &null) == 0 && S_ISCHR(out.st_mode) &&
           S_ISCHR(null.st_mode) && out.st_rdev == null.st_rdev;
}

void shrink(std::string& buffer)
{
    if (buffer.capacity() > keptCapacity)
        std::string().swap(buffer);
}

// The queue and its writer thread. Made on first use and never destroyed: IO
// threads may still log while the process exits, so the writer stays; every
// line queued by then is written by the exit handler's flush.
class Writer
{
public:
    Writer()
        : destination(chosenDestination.load())
        , stream(destination == Destination::StandardError ? std::cerr : std::cout)
        , discardedBuffer(isDevNull(destination == Destination::StandardError ? STDERR_FILENO : STDOUT_FILENO)
                              ? stream.rdbuf()
                              : nullptr)
        , thread([this] { run(); })
    {
        thread.detach();
    }

    void push(const char* text, std::size_t textLength, const char* data, std::size_t size, ByteFormat format)
    {
        // Not even queued: copying every byte received into the queue would
        // take time from the reading threads for lines nobody reads.
        if (isDiscarding())
            return;
        const Entry entry{textLength, size, format};
        std::unique_lock<std::mutex> lock(mutex);
        if (!nonBlockingThread)
            roomAvailable.wait(lock, [this] { return queuedBytes < queueLimit; });
        // One buffer for all queued lines: no allocation per line once it has grown.
        queue.append(reinterpret_cast<const char*>(&entry), sizeof entry);
        queue.append(text, textLength);
        if (size > 0)
            queue.append(data, size);
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
            if (!linesAvailable.wait_for(lock, releaseAfter, [this] { return !queue.empty(); })) {
                shrink(queue);
                shrink(writing);
                shrink(output);
                linesAvailable.wait(lock, [this] { return !queue.empty(); });
            }
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
            writeEntries();
            lock.lock();
            // Room is made only once the lines are out: the limit bounds
            // everything not yet written.
            writing.clear();
            writingBytes = 0;
            queuedBytes = queue.size();
            writtenCount = taken;
            allWritten.notify_all();
            roomAvailable.notify_all();
        }
    }

    // Lines written into a stream buffer put in place of standard output's
    // are still written. (That is done before the threads that log start.)
    bool isDiscarding() const
    {
        return destination == Destination::Nowhere || (discardedBuffer && stream.rdbuf() == discardedBuffer);
    }

    // Writer thread, without the lock: the lines taken from the queue.
    void writeEntries()
    {
        if (isDiscarding())
            return;
        for (std::size_t at = 0; at < writing.size();) {
            Entry entry;
            std::memcpy(&entry, writing.data() + at, sizeof entry);
            at += sizeof entry;
            output.append(writing, at, entry.textLength);
            at += entry.textLength;
            for (std::size_t done = 0; done < entry.byteCount;) {
                const std::size_t piece = std::min(formatPiece, entry.byteCount - done);
                entry.format(output, writing.data() + at + done, piece);
                done += piece;
                if (output.size() >= outputPiece)
                    writeOutput();
            }
            at += entry.byteCount;
            output += '\n';
            if (output.size() >= outputPiece)
                writeOutput();
        }
        writeOutput();
        stream.flush();
    }

    void writeOutput()
    {
        stream.write(output.data(), static_cast<std::streamsize>(output.size()));
        output.clear();
    }

    std::mutex mutex;
    std::condition_variable linesAvailable;
    std::condition_variable roomAvailable;
    std::condition_variable allWritten;
    // Whole lines, each an Entry, its text and its bytes: those queued, and
    // those the writer is writing (its buffer is swapped with the queue's).
    std::string queue;
    std::string writing;
    std::size_t writingBytes = 0;
    // Bytes queued and being written.
    std::size_t queuedBytes = 0;
    std::uint64_t queuedCount = 0;
    std::uint64_t writtenCount = 0;
    bool writerWaiting = false;
    int flushWaiters = 0;
    // The writer's own: formatted text on its way to standard output.
    std::string output;
    const Destination destination;
    std::ostream& stream;
    // The stream's buffer when it leads to /dev/null, else null.
    std::streambuf* const discardedBuffer;
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
    writer().push(text.data(), text.size(), nullptr, 0, nullptr);
}

void writeLine(const std::string& text, const char* data, std::size_t size, ByteFormat format)
{
    writer().push(text.data(), text.size(), data, size, format);
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

void setDestination(Destination destination)
{
    chosenDestination = destination;
}

void flush()
{
    writer().flush();
}
}
