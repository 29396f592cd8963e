#include "Transcript.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <system_error>

namespace
{
constexpr std::uint64_t directionBit = std::uint64_t(1) << 63;
constexpr std::size_t pageSize = 4096;

// Grows by an eighth (whole pages) at a time: a short conversation then holds
// little more memory than its bytes, for a few more copies of a small block.
std::size_t firstBlockCapacity(std::size_t needed, std::size_t current)
{
    const std::size_t wanted = std::max({needed, current + current / 8, pageSize});
    return (wanted + pageSize - 1) / pageSize * pageSize;
}

TranscriptLimits usable(TranscriptLimits limits)
{
    limits.blockSize = std::max<std::size_t>(limits.blockSize, 1);
    return limits;
}
}

Transcript::Transcript(TranscriptLimits limits)
    : limits(usable(std::move(limits)))
    , file(this->limits.spillDirectory)
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
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        storageWorks = !failed;
    }
    // The size only grows, so once one append passes the budget every later
    // one does too. Nothing new is written while older bytes wait in memory
    // for the file.
    const bool overBudget = committedSize + size > limits.memoryBudget;
    const bool direct = overBudget && storageWorks && storeMemory();
    SpillFile::WriteResult stored{0, 0};
    if (direct)
        stored = file.write(data, size, committedSize);

    std::lock_guard<std::mutex> lock(stateMutex);
    if (direct) {
        // No block is held: what the file did not take starts a new one.
        fileEnd += stored.written;
        memoryStart = fileEnd;
        if (stored.error != 0)
            recordFailure(stored.error);
    }
    if (stored.written < size)
        copyIn(data + stored.written, size - stored.written, committedSize + stored.written);
    const std::size_t chunkIndex = index.size();
    const std::uint64_t directionFlag = direction == Direction::Sent ? directionBit : 0;
    index.push_back(IndexEntry{committedSize | directionFlag, timeUs});
    // Only now does a reader see the new bytes.
    committedSize += size;
    const auto side = static_cast<std::size_t>(direction);
    sums.bytes[side] += size;
    ++sums.chunks[side];
    return chunkIndex;
}

// Copies bytes that start at transcript offset position (the end of what is
// in memory) into the blocks. Called with stateMutex held.
void Transcript::copyIn(const char* data, std::size_t size, std::uint64_t position)
{
    while (size > 0) {
        const std::size_t blockIndex = static_cast<std::size_t>((position - memoryStart) / limits.blockSize);
        const std::size_t within = static_cast<std::size_t>((position - memoryStart) % limits.blockSize);
        const std::size_t part = std::min(size, limits.blockSize - within);
        ensureBlockRoom(blockIndex, within, within + part);
        std::memcpy(blocks[blockIndex].get() + within, data, part);
        data += part;
        size -= part;
        position += part;
    }
}

// Makes block blockIndex (the last one in memory, holding used bytes, or the
// next one) hold at least end bytes.
void Transcript::ensureBlockRoom(std::size_t blockIndex, std::size_t used, std::size_t end)
{
    const bool isNew = blockIndex == blocks.size();
    if (!isNew && end <= lastBlockCapacity)
        return;
    std::size_t capacity = limits.blockSize;
    if (blockIndex == 0 && memoryStart == 0)
        capacity = std::min(limits.blockSize, firstBlockCapacity(end, lastBlockCapacity));
    // Deliberately not zero-filled: untouched pages of a large block cost no resident memory.
    std::unique_ptr<char[]> block(new char[capacity]);
    if (isNew) {
        blocks.push_back(std::move(block));
    } else {
        std::memcpy(block.get(), blocks.back().get(), used);
        blocks.back() = std::move(block);
    }
    lastBlockCapacity = capacity;
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
            if (blocks.empty())
                return true;
            const std::uint64_t blockEnd = std::min(memoryStart + limits.blockSize, committedSize);
            if (fileEnd == blockEnd) {
                blocks.pop_front();
                memoryStart = blocks.empty() ? fileEnd : blockEnd;
                continue;
            }
            at = fileEnd;
            from = blocks.front().get() + (fileEnd - memoryStart);
            length = static_cast<std::size_t>(blockEnd - fileEnd);
        }
        const SpillFile::WriteResult result = file.write(from, length, at);
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
    failure = std::generic_category().message(error);
}

bool Transcript::retryStorage()
{
    std::lock_guard<std::mutex> appendLock(appendMutex);
    if (!storeMemory())
        return false;
    std::lock_guard<std::mutex> lock(stateMutex);
    failed = false;
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
    return index.size();
}

Chunk Transcript::chunk(std::size_t at) const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    if (at >= index.size())
        return Chunk{Direction::Received, 0, committedSize, 0};
    const IndexEntry& entry = index[at];
    const std::uint64_t offset = offsetOf(at);
    const std::uint64_t end = at + 1 < index.size() ? offsetOf(at + 1) : committedSize;
    const Direction direction = (entry.offsetAndDirection & directionBit) ? Direction::Sent : Direction::Received;
    return Chunk{direction, entry.timeUs, offset, end - offset};
}

std::size_t Transcript::chunkAt(std::uint64_t offset) const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    if (offset >= committedSize)
        return index.size();
    const auto after = std::upper_bound(index.begin(), index.end(), offset,
        [](std::uint64_t value, const IndexEntry& entry) { return value < (entry.offsetAndDirection & ~directionBit); });
    return static_cast<std::size_t>(after - index.begin()) - 1;
}

std::uint64_t Transcript::offsetOf(std::size_t at) const
{
    return index[at].offsetAndDirection & ~directionBit;
}

std::size_t Transcript::read(std::uint64_t offset, std::size_t length, std::string& out) const
{
    std::uint64_t fromFileUntil = 0;
    std::size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (offset >= committedSize) {
            out.clear();
            return 0;
        }
        count = static_cast<std::size_t>(std::min<std::uint64_t>(length, committedSize - offset));
        out.resize(count);
        const std::uint64_t end = offset + count;
        fromFileUntil = std::min(end, fileEnd);
        for (std::uint64_t position = std::max(offset, fromFileUntil); position < end;) {
            const std::size_t blockIndex = static_cast<std::size_t>((position - memoryStart) / limits.blockSize);
            const std::size_t within = static_cast<std::size_t>((position - memoryStart) % limits.blockSize);
            const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(end - position, limits.blockSize - within));
            std::memcpy(&out[position - offset], blocks[blockIndex].get() + within, part);
            position += part;
        }
    }
    // What is in the file never changes again, so it is read without the lock.
    if (offset < fromFileUntil) {
        const std::size_t wanted = static_cast<std::size_t>(fromFileUntil - offset);
        const std::size_t got = file.read(out.data(), wanted, offset);
        if (got < wanted) {
            out.resize(got);
            return got;
        }
    }
    return count;
}

TranscriptTotals Transcript::totals() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return sums;
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

std::uint64_t Transcript::bytesInMemory() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return committedSize - memoryStart;
}

std::size_t Transcript::addEvent(EventKind kind, std::string text, std::int64_t timeUs, std::string bytes)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    if (events.size() >= maxEvents) {
        ++eventsDropped;
        return events.size() - 1;
    }
    if (bytes.size() > maxEventBytes)
        bytes.resize(maxEventBytes);
    if (events.size() + 1 == maxEvents) {
        kind = EventKind::Note;
        text = "[Too many events: later ones are not shown]";
        bytes.clear();
    }
    events.push_back(TranscriptEvent{index.size(), timeUs, kind, std::move(text), std::move(bytes)});
    return events.size() - 1;
}

std::size_t Transcript::eventCount() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return events.size();
}

TranscriptEvent Transcript::event(std::size_t at) const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return at < events.size() ? events[at] : TranscriptEvent{};
}

std::size_t Transcript::firstEventAfter(std::size_t chunks) const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    const auto found = std::lower_bound(events.begin(), events.end(), chunks,
        [](const TranscriptEvent& event, std::size_t value) { return event.chunksBefore < value; });
    return static_cast<std::size_t>(found - events.begin());
}
