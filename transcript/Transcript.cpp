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
    bool overBudget = false;
    std::size_t chunkIndex = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        chunkIndex = index.size();
        copyIn(data, size);
        const std::uint64_t directionFlag = direction == Direction::Sent ? directionBit : 0;
        index.push_back(IndexEntry{committedSize | directionFlag, timeUs});
        // Only now does a reader see the new bytes.
        committedSize += size;
        const auto side = static_cast<std::size_t>(direction);
        sums.bytes[side] += size;
        ++sums.chunks[side];
        overBudget = !failed && committedSize > limits.memoryBudget;
    }
    if (overBudget)
        storeBlocks();
    return chunkIndex;
}

void Transcript::copyIn(const char* data, std::size_t size)
{
    std::uint64_t position = committedSize;
    while (size > 0) {
        const std::uint64_t blockIndex = position / limits.blockSize;
        const std::size_t within = static_cast<std::size_t>(position % limits.blockSize);
        const std::size_t part = std::min(size, limits.blockSize - within);
        ensureBlockRoom(blockIndex, within, within + part);
        std::memcpy(blocks[blockIndex - firstMemoryBlock].get() + within, data, part);
        data += part;
        size -= part;
        position += part;
    }
}

// Makes block blockIndex (the last one in memory, holding used bytes, or the
// next one) hold at least end bytes.
void Transcript::ensureBlockRoom(std::uint64_t blockIndex, std::size_t used, std::size_t end)
{
    const bool isNew = blockIndex - firstMemoryBlock == blocks.size();
    if (!isNew && end <= lastBlockCapacity)
        return;
    std::size_t capacity = limits.blockSize;
    if (blockIndex == 0)
        capacity = std::min(limits.blockSize, firstBlockCapacity(end, lastBlockCapacity));
    std::unique_ptr<char[]> block;
    if (capacity == limits.blockSize && spareBlock)
        block = std::move(spareBlock);
    else // deliberately not zero-filled: untouched pages of a large block cost no resident memory
        block.reset(new char[capacity]);
    if (isNew) {
        blocks.push_back(std::move(block));
    } else {
        std::memcpy(block.get(), blocks.back().get(), used);
        blocks.back() = std::move(block);
    }
    lastBlockCapacity = capacity;
}

// Once the transcript is larger than the memory budget, every block is
// written to the file as soon as it is full, while its bytes are still in the
// processor's cache (writing it only when it is dropped, a whole budget later,
// costs twice the memory traffic); the oldest written blocks are then dropped from
// memory down to the budget.
bool Transcript::storeBlocks()
{
    for (;;) {
        const char* block = nullptr;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            const bool nextIsFull = (writtenBlocks + 1) * limits.blockSize <= committedSize;
            if (committedSize <= limits.memoryBudget || !nextIsFull)
                break;
            block = blocks[writtenBlocks - firstMemoryBlock].get();
        }
        // A full block no longer changes and stays in memory until written:
        // readers may copy from it meanwhile.
        const int error = file.write(block, limits.blockSize, writtenBlocks * limits.blockSize);
        if (error != 0) {
            std::lock_guard<std::mutex> lock(stateMutex);
            recordFailure(error);
            return false;
        }
        ++writtenBlocks;
    }
    std::lock_guard<std::mutex> lock(stateMutex);
    while (committedSize - memoryStart() > limits.memoryBudget && firstMemoryBlock < writtenBlocks) {
        spareBlock = std::move(blocks.front());
        blocks.pop_front();
        ++firstMemoryBlock;
    }
    return true;
}

void Transcript::recordFailure(int error)
{
    failed = true;
    failure = std::generic_category().message(error);
}

bool Transcript::retryStorage()
{
    std::lock_guard<std::mutex> appendLock(appendMutex);
    if (!storeBlocks())
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

std::uint64_t Transcript::memoryStart() const
{
    return firstMemoryBlock * limits.blockSize;
}

std::size_t Transcript::read(std::uint64_t offset, std::size_t length, std::string& out) const
{
    std::uint64_t fileEnd = 0;
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
        fileEnd = std::min(end, memoryStart());
        for (std::uint64_t position = std::max(offset, fileEnd); position < end;) {
            const std::uint64_t blockIndex = position / limits.blockSize;
            const std::size_t within = static_cast<std::size_t>(position % limits.blockSize);
            const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(end - position, limits.blockSize - within));
            std::memcpy(&out[position - offset], blocks[blockIndex - firstMemoryBlock].get() + within, part);
            position += part;
        }
    }
    // What is in the file never changes again, so it is read without the lock.
    if (offset < fileEnd) {
        const std::size_t wanted = static_cast<std::size_t>(fileEnd - offset);
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
    return committedSize - memoryStart();
}
