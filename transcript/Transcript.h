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

// What happened on the connection besides its bytes, in the order it
// happened: the end of either side's sending, a reset, what became of a send,
// a rule that answered. Views show the text (none for an empty one) after the
// chunks that came before it.
enum class EventKind : std::uint8_t
{
    Note,            // anything worth saying, such as how a send went
    ReplyNotSent,    // a reply that did not go out at all; bytes holds (the start of) it
    ClientEnded,     // the client ended its sending
    ClientFailed,    // reading ended with an error, such as a reset by the client
    SendingClosed,   // this side ended its sending
    ResetByServer,   // this side reset the connection
    ReadingPaused,   // reading waits for the transcript's file
    ReadingResumed,
    Released,        // the connection's socket was given back
    TlsEstablished,  // the TLS handshake succeeded; the text says what it negotiated
    TlsFailed,       // the TLS handshake failed; the text says why
};

struct TranscriptEvent
{
    std::size_t chunksBefore = 0; // how many chunks came before it
    std::int64_t timeUs = 0;
    EventKind kind = EventKind::Note;
    std::string text;  // as views show it; empty for events that show nothing
    std::string bytes; // ReplyNotSent: the reply, up to maxEventBytes
};

struct TranscriptLimits
{
    std::size_t memoryBudget = 32 * 1024 * 1024; // bytes held in memory before all move to the file
    std::size_t blockSize = 1024 * 1024;
    std::string spillDirectory; // empty: $TMPDIR or /tmp
};

struct TranscriptTotals
{
    std::uint64_t bytes[2] = {0, 0}; // indexed by Direction
    std::uint64_t chunks[2] = {0, 0};
};

// Every byte of one TCP conversation, both directions, in the order they
// passed. A conversation that stays within the memory budget lives in memory.
// Once it outgrows the budget, everything moves to an unlinked temporary file
// and every later chunk is written straight there, as a program that only
// saves a stream to a file would: one copy per byte, and no memory held. The
// page cache keeps the newest bytes cheap to read back.
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

    // Size 0 is ignored. Never loses bytes: when the file cannot take them
    // (disk full, EFBIG...), they stay in memory, storageFailed() turns true
    // and nothing more is written to the file until retryStorage().
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

    // At most this many events are kept; the one that reaches the limit
    // says so, and later ones are only counted.
    static constexpr std::size_t maxEvents = 200000;
    static constexpr std::size_t maxEventBytes = 64 * 1024;
    // Records an event after every chunk appended so far; returns its index.
    std::size_t addEvent(EventKind kind, std::string text, std::int64_t timeUs, std::string bytes = std::string());
    std::size_t eventCount() const;
    // index < eventCount().
    TranscriptEvent event(std::size_t index) const;
    // The index of the first event that comes after at least `chunks` chunks.
    std::size_t firstEventAfter(std::size_t chunks) const;

    bool storageFailed() const;
    std::string storageError() const; // e.g. "No space left on device"
    // Writes what waits in memory to the file, on the calling thread; true
    // when nothing waits any more.
    bool retryStorage();

    std::uint64_t bytesInMemory() const; // data bytes held in memory blocks

private:
    // 16 bytes per chunk; the length is the distance to the next chunk.
    struct IndexEntry
    {
        std::uint64_t offsetAndDirection; // the top bit is the direction
        std::int64_t timeUs;
    };

    void copyIn(const char* data, std::size_t size, std::uint64_t position);
    void ensureBlockRoom(std::size_t blockIndex, std::size_t used, std::size_t end);
    bool storeMemory();
    void recordFailure(int error);
    std::uint64_t offsetOf(std::size_t index) const;

    const TranscriptLimits limits;
    SpillFile file; // written under appendMutex; what is written is read without a lock

    // Serialises appenders and the writing to the file: bytes being written
    // are neither changed nor freed meanwhile.
    std::mutex appendMutex;

    // Guards everything below.
    mutable std::mutex stateMutex;
    std::deque<IndexEntry> index;
    // Bytes 0 .. fileEnd - 1 are in the file; every later one is in memory.
    std::uint64_t fileEnd = 0;
    // blocks[i] holds the bytes from memoryStart + i * blockSize on, at most
    // blockSize of them; memoryStart <= fileEnd, and equal when no block is held.
    std::deque<std::unique_ptr<char[]>> blocks;
    std::uint64_t memoryStart = 0;
    // The first block starts small and grows up to blockSize, so that a short
    // conversation costs little; every later block has the full size.
    std::size_t lastBlockCapacity = 0;
    // Changes only under both mutexes, so an appender may read it under appendMutex alone.
    std::uint64_t committedSize = 0;
    TranscriptTotals sums;
    std::deque<TranscriptEvent> events;
    std::uint64_t eventsDropped = 0;
    bool failed = false;
    std::string failure;
};
