#pragma once

#include "ChunkIndex.h"
#include "EventLog.h"
#include "MemoryBlocks.h"
#include "SpillFile.h"
#include "TranscriptTypes.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// Every byte of one TCP conversation, both directions, in the order they
// passed. A conversation that stays within the memory budget lives in memory.
// Once it outgrows the budget, everything moves to an unlinked temporary file
// and every later chunk is written straight there, as a program that only
// saves a stream to a file would: one copy per byte, and no memory held. The
// page cache keeps the newest bytes cheap to read back.
//
// A transcript may keep at most a number of bytes (keepAtMost). At that cap
// it either says it is full, so that reading pauses, or drops its oldest bytes
// and keeps the newest ones: chunks and offsets keep their numbers, and the
// file's dropped part is given back to the file system (a hole). Before
// writing to the file it asks the disk reserve, if there is one.
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

    // Size 0 is ignored. Never loses bytes to the file: when the file or the
    // disk reserve cannot take them, they stay in memory, storageFailed()
    // turns true and nothing more is written to the file until retryStorage().
    // Returns the new chunk's index (for size 0, chunkCount()).
    std::size_t append(Direction direction, const char* data, std::size_t size, std::int64_t timeUs);

    std::uint64_t size() const; // bytes in all, both directions, dropped ones included
    std::size_t chunkCount() const;
    // firstChunk() <= index < chunkCount(), the first one starting at
    // firstKept() when its start was dropped; past the end, an empty chunk at
    // size(); before the first kept one, an empty chunk at firstKept().
    Chunk chunk(std::size_t index) const;
    // Index of the chunk holding offset; chunkCount() when offset >= size(),
    // firstChunk() when offset < firstKept().
    std::size_t chunkAt(std::uint64_t offset) const;

    // Copies up to length bytes starting at offset into out (resized to what
    // was read) and returns that count. Reads nothing before firstKept()
    // (also when the bytes are dropped while it reads); stops early only if
    // the temporary file cannot be read back.
    std::size_t read(std::uint64_t offset, std::size_t length, std::string& out) const;

    TranscriptTotals totals() const; // everything that passed, dropped bytes included
    // What was dropped at the cap: bytes, and chunks dropped whole, each way.
    TranscriptTotals dropped() const;
    std::uint64_t firstKept() const; // the offset of the oldest byte kept
    std::size_t firstChunk() const;  // the oldest chunk kept, perhaps in part
    KeptStart keptStart() const;
    // Holds its cap, and its owner should stop reading (AtCap::PauseReading).
    bool full() const;
    const TranscriptLimits& limitsInUse() const { return limits; }

    static constexpr std::size_t maxEvents = EventLog::maxEvents;
    static constexpr std::size_t maxEventBytes = EventLog::maxEventBytes;
    // Records an event after every chunk appended so far; returns its index.
    std::size_t addEvent(EventKind kind, std::string text, std::int64_t timeUs, std::string bytes = std::string());
    std::size_t eventCount() const;
    // index < eventCount().
    TranscriptEvent event(std::size_t index) const;
    // The index of the first event that comes after at least `chunks` chunks.
    std::size_t firstEventAfter(std::size_t chunks) const;

    bool storageFailed() const;
    // Why: the system's words ("No space left on device"), or the reserve's
    // ("less than 2 GiB free in /tmp").
    std::string storageError() const;
    // The file could be written, but the disk reserve would not be kept.
    bool reserveReached() const;
    // Writes what waits in memory to the file, on the calling thread; true
    // when nothing waits any more.
    bool retryStorage();

    std::uint64_t bytesInMemory() const; // data bytes held in memory blocks

private:
    SpillFile::WriteResult store(const char* data, std::size_t size, std::uint64_t offset);
    bool storeMemory();
    void recordFailure(int error);
    Chunk chunkLocked(std::size_t index) const;
    bool dropOldest(std::uint64_t incoming);
    void releaseDropped();

    const TranscriptLimits limits;
    SpillFile file; // written under appendMutex; what is written is read without a lock

    // Serialises appenders and the writing to the file: bytes being written
    // are neither changed nor freed meanwhile.
    std::mutex appendMutex;
    // Under appendMutex: the file up to here was given back.
    std::uint64_t releasedUntil = 0;

    // Guards everything below. What changes only under both mutexes may be
    // read under appendMutex alone.
    mutable std::mutex stateMutex;
    ChunkIndex index;
    // Bytes keptFrom .. fileEnd - 1 are in the file; every later one is in
    // memory, whose blocks start at or before fileEnd (at it when none is held).
    std::uint64_t fileEnd = 0;
    MemoryBlocks memory;
    std::uint64_t committedSize = 0; // both mutexes
    std::uint64_t keptFrom = 0;      // both mutexes
    TranscriptTotals sums;
    TranscriptTotals droppedSums;
    EventLog events;
    bool failed = false;
    bool reserveRefused = false;
    std::string failure;
};
