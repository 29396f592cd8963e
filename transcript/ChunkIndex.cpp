#include "ChunkIndex.h"

#include <algorithm>

namespace
{
constexpr std::uint64_t directionBit = std::uint64_t(1) << 63;
}

void ChunkIndex::add(std::uint64_t offset, Direction direction, std::int64_t timeUs)
{
    entries.push_back(Entry{offset | (direction == Direction::Sent ? directionBit : 0), timeUs});
}

std::uint64_t ChunkIndex::offsetOf(std::size_t number) const
{
    return at(number).offsetAndDirection & ~directionBit;
}

Direction ChunkIndex::directionOf(std::size_t number) const
{
    return (at(number).offsetAndDirection & directionBit) ? Direction::Sent : Direction::Received;
}

std::int64_t ChunkIndex::timeOf(std::size_t number) const
{
    return at(number).timeUs;
}

std::size_t ChunkIndex::find(std::uint64_t offset) const
{
    const auto after = std::upper_bound(entries.begin(), entries.end(), offset,
        [](std::uint64_t value, const Entry& entry) { return value < (entry.offsetAndDirection & ~directionBit); });
    const auto before = std::max<std::ptrdiff_t>(after - entries.begin() - 1, 0);
    return dropped + static_cast<std::size_t>(before);
}

void ChunkIndex::drop(std::uint64_t from, std::uint64_t to, std::uint64_t size, TranscriptTotals& counts)
{
    while (!entries.empty() && from < to) {
        const std::uint64_t end = entries.size() > 1 ? offsetOf(dropped + 1) : size;
        const auto side = static_cast<std::size_t>(directionOf(dropped));
        const std::uint64_t part = std::min(end, to) - from;
        counts.bytes[side] += part;
        from += part;
        if (end > to)
            return;
        entries.pop_front();
        ++dropped;
        ++counts.chunks[side];
    }
}
