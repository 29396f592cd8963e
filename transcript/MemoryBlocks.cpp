#include "MemoryBlocks.h"

#include <algorithm>
#include <cstring>

namespace
{
constexpr std::size_t pageSize = 4096;

// Grows by an eighth (whole pages) at a time: a short conversation then holds
// little more memory than its bytes, for a few more copies of a small block.
std::size_t firstBlockCapacity(std::size_t needed, std::size_t current)
{
    const std::size_t wanted = std::max({needed, current + current / 8, pageSize});
    return (wanted + pageSize - 1) / pageSize * pageSize;
}
}

MemoryBlocks::MemoryBlocks(std::size_t blockSize)
    : size(std::max<std::size_t>(blockSize, 1))
{
}

void MemoryBlocks::copyIn(const char* data, std::size_t length, std::uint64_t position)
{
    while (length > 0) {
        const std::size_t blockIndex = static_cast<std::size_t>((position - first) / size);
        const std::size_t within = static_cast<std::size_t>((position - first) % size);
        const std::size_t part = std::min(length, size - within);
        ensureRoom(blockIndex, within, within + part);
        std::memcpy(blocks[blockIndex].get() + within, data, part);
        data += part;
        length -= part;
        position += part;
    }
}

void MemoryBlocks::copyOut(std::uint64_t position, std::size_t length, char* out) const
{
    while (length > 0) {
        const std::size_t blockIndex = static_cast<std::size_t>((position - first) / size);
        const std::size_t within = static_cast<std::size_t>((position - first) % size);
        const std::size_t part = std::min(length, size - within);
        std::memcpy(out, blocks[blockIndex].get() + within, part);
        out += part;
        length -= part;
        position += part;
    }
}

void MemoryBlocks::dropFront()
{
    blocks.pop_front();
    first += size;
}

// Makes block blockIndex (the last one held, holding used bytes, or the
// next one) hold at least end bytes.
void MemoryBlocks::ensureRoom(std::size_t blockIndex, std::size_t used, std::size_t end)
{
    const bool isNew = blockIndex == blocks.size();
    if (!isNew && end <= lastCapacity)
        return;
    std::size_t capacity = size;
    if (blockIndex == 0 && first == 0)
        capacity = std::min(size, firstBlockCapacity(end, lastCapacity));
    // Deliberately not zero-filled: untouched pages of a large block cost no resident memory.
    std::unique_ptr<char[]> block(new char[capacity]);
    if (isNew) {
        blocks.push_back(std::move(block));
    } else {
        std::memcpy(block.get(), blocks.back().get(), used);
        blocks.back() = std::move(block);
    }
    lastCapacity = capacity;
}
