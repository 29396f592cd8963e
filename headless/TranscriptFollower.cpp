#include "TranscriptFollower.h"

#include <algorithm>

TranscriptFollower::TranscriptFollower(const Transcript& transcript)
    : transcript(transcript)
{
}

bool TranscriptFollower::follow(Sink& sink)
{
    for (;;) {
        eventsUpTo(nextChunk, sink);
        if (nextChunk >= transcript.chunkCount())
            break;
        // A transcript that keeps only its newest bytes may have dropped
        // chunks not handed over yet: the follower goes on after them.
        if (const std::size_t first = transcript.firstChunk(); nextChunk < first) {
            nextChunk = first;
            doneInChunk = 0;
            continue;
        }
        const Chunk chunk = transcript.chunk(nextChunk);
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(pieceSize, chunk.length - doneInChunk));
        const std::size_t got = transcript.read(chunk.offset + doneInChunk, size, buffer);
        if (got == 0 && size != 0)
            return false;
        const std::uint64_t offset = doneInChunk;
        doneInChunk += got;
        if (doneInChunk >= chunk.length) {
            ++nextChunk;
            doneInChunk = 0;
        }
        if (!sink.piece(chunk, offset, buffer.data(), got))
            return false;
    }
    // Freed between bursts: thousands of quiet connections hold no megabyte each.
    if (buffer.capacity() > 64 * 1024)
        std::string().swap(buffer);
    return true;
}

// Events recorded after the last chunk are handed over once no chunk is left.
void TranscriptFollower::eventsUpTo(std::size_t chunks, Sink& sink)
{
    const std::size_t count = transcript.eventCount();
    while (nextEvent < count) {
        const TranscriptEvent event = transcript.event(nextEvent);
        if (event.chunksBefore > chunks)
            break;
        ++nextEvent;
        sink.event(event);
    }
}

