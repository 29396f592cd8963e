#pragma once

#include "Transcript.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Hands over what a transcript recorded since the last call, in the order it
// happened on the wire: its chunks' bytes (in pieces of at most pieceSize)
// and its events, each event after the chunks that came before it. Chunks
// the transcript dropped before they were handed over are skipped.
class TranscriptFollower
{
public:
    static constexpr std::size_t pieceSize = 1024 * 1024;

    class Sink
    {
    public:
        virtual ~Sink() = default;
        // Takes a piece of a chunk, at offset within it; false asks the
        // follower to stop after it.
        virtual bool piece(const Chunk& chunk, std::uint64_t offset, const char* bytes, std::size_t size) = 0;
        virtual void event(const TranscriptEvent& event) = 0;
    };

    explicit TranscriptFollower(const Transcript& transcript);

    // True once everything recorded so far was handed over.
    bool follow(Sink& sink);

private:
    void eventsUpTo(std::size_t chunks, Sink& sink);

    const Transcript& transcript;
    std::size_t nextChunk = 0;
    std::uint64_t doneInChunk = 0;
    std::size_t nextEvent = 0;
    std::string buffer;
};
