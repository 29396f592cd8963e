#pragma once

#include "SpillFile.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

enum class Direction : std::uint8_t { Received = 0, Sent = 1 };

// One append: what one read brought in or one reply sent out.
struct Chunk
{
    Direction direction;
    std::int64_t timeUs;  // microseconds since the Unix epoch (system clock)
    std::uint64_t offset; // offset of its first byte in the whole transcript
    std::uint64_t length;
};

struct TranscriptLimits
{
    std::size_t memoryBudget = 32 * 1024 * 1024; // bytes held in memory before older blocks move to the file
    std::size_t blockSize = 1024 * 1024;
    std::string spillDirectory; // empty: $TMPDIR or /tmp
};

struct TranscriptTotals
{
    std::uint64_t bytes[2] = {0, 0}; // indexed by Direction
    std::uint64_t chunks[2] = {0, 0};
};

// Every byte of one TCP conversation, both directions, in the order they
// passed. Recent bytes live in memory in fixed-size blocks. Once the
// transcript outgrows the memory budget, each full block is also written to an
// unlinked temporary file at its transcript offset, and the oldest blocks
// leave memory so that no more than the budget stays; they are read back from
// the file.
//
// Appends may come from any thread and are serialised; readers on other
// threads never see half a chunk. Writing to the file happens on the
// appending thread, outside the lock readers take.
class Transcript
{
public:
    explicit Transcript(TranscriptLimits limits = {});
    ~Transcript(); // closes (and so deletes) the temporary file

    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    static std::int64_t nowUs();

    // Size 0 is ignored. Never loses bytes: when the file cannot take a block
    // (disk full, EFBIG...), the block stays in memory, storageFailed() turns
    // true and no further block is written until retryStorage().
    // Returns the new chunk's index (for size 0, chunkCount()).
    std::size_t append(Direction direction, const char* data, std::size_t size, std::int64_t timeUs);

    std::uint64_t size() const; // bytes in all, both directions
    std::size_t chunkCount() const;
    // index < chunkCount(); past the end, an empty chunk at size().
    Chunk chunk(std::size_t index) const;
    // Index of the chunk holding offset; chunkCount() when offset >= size().
    std::size_t chunkAt(std::uint64_t offset) const;

    // Copies up to length bytes starting at offset into out (resized to what
    // was read) and returns that count. Stops early only if the temporary file
    // cannot be read back.
    std::size_t read(std::uint64_t offset, std::size_t length, std::string& out) const;

    TranscriptTotals totals() const;

    bool storageFailed() const;
    std::string storageError() const; // e.g. "No space left on device"
    // Writes the waiting blocks again, on the calling thread; true when none
    // waits any more.
    bool retryStorage();

    std::uint64_t bytesInMemory() const; // data bytes held in memory blocks

private:
    // 16 bytes per chunk; the length is the distance to the next chunk.
    struct IndexEntry
    {
        std::uint64_t offsetAndDirection; // the top bit is the direction
        std::int64_t timeUs;
    };

    void copyIn(const char* data, std::size_t size);
    void ensureBlockRoom(std::uint64_t blockIndex, std::size_t used, std::size_t end);
    bool storeBlocks();
    void recordFailure(int error);
    std::uint64_t offsetOf(std::size_t index) const;
    std::uint64_t memoryStart() const;

    const TranscriptLimits limits;
    SpillFile file; // written under appendMutex; what is written is read without a lock

    // Serialises appenders and the writing of blocks to the file: a block being
    // written is neither changed nor freed meanwhile.
    std::mutex appendMutex;
    // Blocks 0 .. writtenBlocks - 1 are in the file (the newest of them may
    // still be in memory too). Used under appendMutex only.
    std::uint64_t writtenBlocks = 0;

    // Guards everything below.
    mutable std::mutex stateMutex;
    std::deque<IndexEntry> index;
    // Blocks firstMemoryBlock, firstMemoryBlock + 1, ... ; the ones before are in the file.
    std::deque<std::unique_ptr<char[]>> blocks;
    std::uint64_t firstMemoryBlock = 0;
    // The first block starts small and grows up to blockSize, so that a short
    // conversation costs little; every later block has the full size.
    std::size_t lastBlockCapacity = 0;
    // The last block dropped from memory, kept for the next new block: a
    // steady stream then reuses memory instead of faulting in fresh pages.
    std::unique_ptr<char[]> spareBlock;
    std::uint64_t committedSize = 0;
    TranscriptTotals sums;
    bool failed = false;
    std::string failure;
};
