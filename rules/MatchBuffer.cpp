#include "MatchBuffer.h"

#include <algorithm>

MatchBuffer::MatchBuffer(std::size_t limit)
    : maxSize(std::max<std::size_t>(limit, 1))
{
}

void MatchBuffer::append(const char* data, std::size_t size)
{
    makeRoom(size);
    storage.append(data, size);
}

void MatchBuffer::makeRoom(std::size_t incoming)
{
    const std::size_t kept = size();
    if (kept == 0) {
        if (storage.capacity() > 4 * maxSize)
            std::string().swap(storage);
        storage.clear();
        head = 0;
        return;
    }
    if (storage.size() + incoming <= storage.capacity())
        return;
    if (head >= kept) {
        storage.erase(0, head);
        head = 0;
    }
    if (storage.size() + incoming > storage.capacity())
        storage.reserve(std::max(storage.size() + incoming, 4 * maxSize));
}

void MatchBuffer::consumeTo(std::uint64_t offset)
{
    const std::uint64_t target = std::min(std::max(offset, startOffset), end());
    head += static_cast<std::size_t>(target - startOffset);
    startOffset = target;
}

std::size_t MatchBuffer::trim()
{
    const std::size_t excess = size() > maxSize ? size() - maxSize : 0;
    consumeTo(startOffset + excess);
    return excess;
}
