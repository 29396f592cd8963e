#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The bytes received and not yet consumed by a match, addressed by their
// offset in the whole stream. Consumed bytes leave from the front; beyond the
// limit, trim() drops the oldest. The storage is moved up only when at least
// as many bytes have left as remain, so each byte is copied about once more
// at most, and it is released when nothing is left.
class MatchBuffer
{
public:
    explicit MatchBuffer(std::size_t limit);

    void append(const char* data, std::size_t size);
    // Consumes everything before offset.
    void consumeTo(std::uint64_t offset);
    // Drops the oldest bytes beyond the limit; returns how many.
    std::size_t trim();

    std::uint64_t start() const { return startOffset; }
    std::uint64_t end() const { return startOffset + size(); }
    std::size_t size() const { return storage.size() - head; }
    std::size_t limit() const { return maxSize; }
    const char* at(std::uint64_t offset) const { return storage.data() + head + (offset - startOffset); }
    std::string_view view() const { return std::string_view(storage.data() + head, size()); }

private:
    void makeRoom(std::size_t incoming);

    std::string storage;
    std::size_t head = 0;
    std::uint64_t startOffset = 0;
    std::size_t maxSize;
};
