#pragma once

#include "TranscriptTypes.h"

#include <cstddef>
#include <cstdint>
#include <deque>

// Where each chunk of a transcript starts, its direction and its time: 16
// bytes a chunk, the length being the distance to the next one. Chunks keep
// their numbers when the oldest ones are dropped. Not thread-safe: the
// transcript guards it.
class ChunkIndex
{
public:
    void add(std::uint64_t offset, Direction direction, std::int64_t timeUs);

    // Chunk numbers run from first() to end() - 1.
    std::size_t first() const { return dropped; }
    std::size_t end() const { return dropped + entries.size(); }
    bool empty() const { return entries.empty(); }

    // number in [first(), end()).
    std::uint64_t offsetOf(std::size_t number) const;
    Direction directionOf(std::size_t number) const;
    std::int64_t timeOf(std::size_t number) const;
    // The chunk holding offset, for an offset at or past the first chunk's
    // start and before the transcript's end.
    std::size_t find(std::uint64_t offset) const;

    // The bytes [from, to) are dropped, from being the first one kept so far
    // and `size` the transcript's size: counts them by direction into
    // `counts`, and forgets the chunks that lie wholly before `to`.
    void drop(std::uint64_t from, std::uint64_t to, std::uint64_t size, TranscriptTotals& counts);

private:
    struct Entry
    {
        std::uint64_t offsetAndDirection; // the top bit is the direction
        std::int64_t timeUs;
    };

    const Entry& at(std::size_t number) const { return entries[number - dropped]; }

    std::deque<Entry> entries;
    std::size_t dropped = 0;
};
