#include "Transcript.h"

#include "DiskReserve.h"
#include "NumberText.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace
{
// Not an errno: the disk reserve, not the file, refused the bytes.
constexpr int refusedByReserve = -1;
constexpr std::uint64_t pageSize = 4096;

std::string droppingText(std::uint64_t keepAtMost)
{
    return "[From here on this connection keeps only its newest " + byteSize(keepAtMost)
           + ": older bytes are dropped]";
}
}

Transcript::Transcript(TranscriptLimits limits)
    : limits(std::move(limits))
    , file(this->limits.spillDirectory)
    , memory(this->limits.blockSize)
{
}

Transcript::~Transcript() = default;

std::int64_t Transcript::nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::size_t Transcript::append(Direction direction, const char* data, std::size_t size, std::int64_t timeUs)
{
    if (size == 0)
        return chunkCount();
    std::lock_guard<std::mutex> appendLock(appendMutex);
    bool storageWorks = false;
    bool droppedBefore = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        storageWorks = !failed;
        // What the new bytes push out goes first, so that the file never
        // holds much more than the cap.
        droppedBefore = dropOldest(size);
    }
    if (droppedBefore)
        releaseDropped();
    // What is kept only grows, up to the cap, so once one append passes the
    // budget every later one does too. Nothing new is written while older
    // bytes wait in memory for the file.
    const bool overBudget = committedSize - keptFrom + size > limits.memoryBudget;
    const bool direct = overBudget && storageWorks && storeMemory();
    SpillFile::WriteResult stored{0, 0};
    if (direct)
        stored = store(data, size, committedSize);

    bool droppedMore = false;
    std::size_t chunkIndex = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (direct) {
            // No block is held: what the file did not take starts a new one.
            fileEnd += stored.written;
            memory.restartAt(fileEnd);
            if (stored.error != 0)
                recordFailure(stored.error);
        }
        if (stored.written < size)
            memory.copyIn(data + stored.written, size - stored.written, committedSize + stored.written);
        chunkIndex = index.end();
        index.add(committedSize, direction, timeUs);
        // Only now does a reader see the new bytes.
        committedSize += size;
        const auto side = static_cast<std::size_t>(direction);
        sums.bytes[side] += size;
        ++sums.chunks[side];
        droppedMore = dropOldest(0);
    }
    if (droppedMore)
        releaseDropped();
    return chunkIndex;
}

SpillFile::WriteResult Transcript::store(const char* data, std::size_t size, std::uint64_t offset)
{
    if (limits.reserve && !limits.reserve->admit(size))
        return SpillFile::WriteResult{0, refusedByReserve};
    return file.write(data, size, offset);
}

// Writes every byte waiting in memory to the file, oldest first, and frees
// each block once it is all there. Called with appendMutex held, so that the
// bytes being written stay put while readers copy from them too.
bool Transcript::storeMemory()
{
    for (;;) {
        const char* from = nullptr;
        std::size_t length = 0;
        std::uint64_t at = 0;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            if (memory.empty())
                return true;
            const std::uint64_t blockEnd = std::min(memory.frontEnd(), committedSize);
            if (fileEnd >= blockEnd) {
                memory.dropFront();
                if (memory.empty())
                    memory.restartAt(fileEnd);
                continue;
            }
            at = fileEnd;
            from = memory.frontAt(fileEnd);
            length = static_cast<std::size_t>(blockEnd - fileEnd);
        }
        const SpillFile::WriteResult result = store(from, length, at);
        std::lock_guard<std::mutex> lock(stateMutex);
        fileEnd += result.written;
        if (result.error != 0) {
            recordFailure(result.error);
            return false;
        }
    }
}

void Transcript::recordFailure(int error)
{
    failed = true;
    reserveRefused = error == refusedByReserve;
    failure = reserveRefused ? limits.reserve->refusal() : std::generic_category().message(error);
}

// At the cap with KeepNewest, forgets the oldest bytes, as many as the cap
// asks once `incoming` more have come (but none of those): their chunks,
// their memory blocks, and any of them still waiting for the file. Called
// with both mutexes held; true when something was dropped.
bool Transcript::dropOldest(std::uint64_t incoming)
{
    const std::uint64_t total = committedSize + incoming;
    if (limits.keepAtMost == 0 || limits.atCap != AtCap::KeepNewest || total - keptFrom <= limits.keepAtMost)
        return false;
    const std::uint64_t newStart = std::min(committedSize, total - limits.keepAtMost);
    if (newStart <= keptFrom)
        return false;
    if (keptFrom == 0)
        events.add(TranscriptEvent{index.end(), nowUs(), EventKind::OlderBytesDropped,
                                   droppingText(limits.keepAtMost), std::string()});
    index.drop(keptFrom, newStart, committedSize, droppedSums);
    keptFrom = newStart;
    fileEnd = std::max(fileEnd, keptFrom);
    while (!memory.empty() && memory.frontEnd() <= keptFrom)
        memory.dropFront();
    if (memory.empty())
        memory.restartAt(fileEnd);
    return true;
}

// Gives the file's dropped part back to the file system a block at a time, so
// that a connection keeping its newest bytes holds no more of the disk than
// it keeps. A file system that cannot punch holes keeps the bytes until the
// file is closed; the disk reserve still holds. Called with appendMutex held.
void Transcript::releaseDropped()
{
    const std::uint64_t until = std::min(keptFrom, fileEnd) / pageSize * pageSize;
    if (until < releasedUntil + std::max<std::uint64_t>(limits.blockSize, pageSize))
        return;
    if (file.release(releasedUntil, until - releasedUntil) && limits.reserve)
        limits.reserve->released(until - releasedUntil);
    releasedUntil = until;
}

bool Transcript::retryStorage()
{
    std::lock_guard<std::mutex> appendLock(appendMutex);
    if (!storeMemory())
        return false;
    std::lock_guard<std::mutex> lock(stateMutex);
    failed = false;
    reserveRefused = false;
    failure.clear();
    return true;
}

std::uint64_t Transcript::size() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return committedSize;
}

std::size_t Transcript::chunkCount() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return index.end();
}

Chunk Transcript::chunk(std::size_t at) const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return chunkLocked(at);
}

Chunk Transcript::chunkLocked(std::size_t at) const
{
    if (at >= index.end())
        return Chunk{Direction::Received, 0, committedSize, 0};
    if (at < index.first())
        return Chunk{Direction::Received, 0, keptFrom, 0};
    const std::uint64_t offset = std::max(index.offsetOf(at), keptFrom);
    const std::uint64_t end = at + 1 < index.end() ? index.offsetOf(at + 1) : committedSize;
    return Chunk{index.directionOf(at), index.timeOf(at), offset, end - offset};
}

std::size_t Transcript::chunkAt(std::uint64_t offset) const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    if (offset >= committedSize)
        return index.end();
    return index.find(offset);
}

std::size_t Transcript::read(std::uint64_t offset, std::size_t length, std::string& out) const
{
    std::uint64_t fromFileUntil = 0;
    std::size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (offset >= committedSize || offset < keptFrom) {
            out.clear();
            return 0;
        }
        count = static_cast<std::size_t>(std::min<std::uint64_t>(length, committedSize - offset));
        out.resize(count);
        const std::uint64_t end = offset + count;
        fromFileUntil = std::min(end, fileEnd);
        const std::uint64_t fromMemory = std::max(offset, fromFileUntil);
        memory.copyOut(fromMemory, static_cast<std::size_t>(end - fromMemory), &out[fromMemory - offset]);
    }
    // What is in the file never changes again, so it is read without the
    // lock; but its start may be dropped meanwhile.
    if (offset < fromFileUntil) {
        const std::size_t wanted = static_cast<std::size_t>(fromFileUntil - offset);
        const std::size_t got = file.read(out.data(), wanted, offset);
        if (got < wanted)
            count = got;
        std::lock_guard<std::mutex> lock(stateMutex);
        if (offset < keptFrom)
            count = 0;
    }
    out.resize(count);
    return count;
}

TranscriptTotals Transcript::totals() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return sums;
}

TranscriptTotals Transcript::dropped() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return droppedSums;
}

std::uint64_t Transcript::firstKept() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return keptFrom;
}

std::size_t Transcript::firstChunk() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return index.first();
}

KeptStart Transcript::keptStart() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return KeptStart{index.first(), chunkLocked(index.first()), droppedSums};
}

bool Transcript::full() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return limits.keepAtMost != 0 && limits.atCap == AtCap::PauseReading && committedSize >= limits.keepAtMost;
}

bool Transcript::storageFailed() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return failed;
}

std::string Transcript::storageError() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return failure;
}

bool Transcript::reserveReached() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return failed && reserveRefused;
}

std::uint64_t Transcript::bytesInMemory() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return committedSize - std::max(memory.start(), keptFrom);
}

std::size_t Transcript::addEvent(EventKind kind, std::string text, std::int64_t timeUs, std::string bytes)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return events.add(TranscriptEvent{index.end(), timeUs, kind, std::move(text), std::move(bytes)});
}

std::size_t Transcript::eventCount() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return events.count();
}

TranscriptEvent Transcript::event(std::size_t at) const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return at < events.count() ? events.at(at) : TranscriptEvent{};
}

std::size_t Transcript::firstEventAfter(std::size_t chunks) const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return events.firstAfter(chunks);
}
