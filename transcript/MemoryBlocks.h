#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

// The part of a transcript held in memory: blocks of blockSize bytes, the
// first starting at start(), each holding the bytes that follow the one
// before. The first block of a transcript starts small and grows up to
// blockSize, so that a short conversation costs little; every later block has
// the full size. Not thread-safe: the transcript guards it.
class MemoryBlocks
{
public:
    explicit MemoryBlocks(std::size_t blockSize);

    std::size_t blockSize() const { return size; }
    bool empty() const { return blocks.empty(); }
    std::uint64_t start() const { return first; }
    // Where the first block ends.
    std::uint64_t frontEnd() const { return first + size; }
    // Only while empty: the next bytes copied in start at position.
    void restartAt(std::uint64_t position) { first = position; }

    // position: the end of what is held.
    void copyIn(const char* data, std::size_t length, std::uint64_t position);
    // [position, position + length) must be held.
    void copyOut(std::uint64_t position, std::size_t length, char* out) const;
    // The bytes of the first block from position on.
    const char* frontAt(std::uint64_t position) const { return blocks.front().get() + (position - first); }
    // Frees the first block; the next one, if any, starts the memory.
    void dropFront();

private:
    void ensureRoom(std::size_t blockIndex, std::size_t used, std::size_t end);

    const std::size_t size;
    std::deque<std::unique_ptr<char[]>> blocks;
    std::uint64_t first = 0;
    std::size_t lastCapacity = 0;
};
