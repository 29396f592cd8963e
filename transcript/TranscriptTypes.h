#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class DiskReserve;

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
    ReadingPaused,   // reading waits for the transcript's file, its reserve or its cap
    ReadingResumed,
    Released,        // the connection's socket was given back
    OlderBytesDropped, // the transcript reached its cap and keeps only its newest bytes from then on
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

// What happens once a transcript holds as many bytes as it may keep.
enum class AtCap : std::uint8_t
{
    PauseReading, // nothing is lost: the connection stops reading for good
    KeepNewest,   // the oldest bytes are dropped, and the transcript says how many
};

struct TranscriptLimits
{
    std::size_t memoryBudget = 32 * 1024 * 1024; // bytes held in memory before all move to the file
    std::size_t blockSize = 1024 * 1024;
    std::string spillDirectory; // empty: $TMPDIR or /tmp
    std::uint64_t keepAtMost = 0; // bytes both ways; 0 keeps everything
    AtCap atCap = AtCap::PauseReading;
    // Free space kept on the file system of spillDirectory; none when null.
    std::shared_ptr<DiskReserve> reserve;
};

struct TranscriptTotals
{
    std::uint64_t bytes[2] = {0, 0}; // indexed by Direction
    std::uint64_t chunks[2] = {0, 0};
};

// Where what a transcript keeps begins, all taken at one moment.
struct KeptStart
{
    std::size_t firstChunk = 0;    // the oldest chunk kept, perhaps in part
    Chunk first{Direction::Received, 0, 0, 0}; // its kept part; empty when no chunk is kept
    TranscriptTotals dropped;      // bytes, and chunks dropped whole, each way
};
