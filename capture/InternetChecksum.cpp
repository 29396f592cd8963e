#include "InternetChecksum.h"

void InternetChecksum::add(const std::uint8_t* bytes, std::size_t size)
{
    std::size_t at = 0;
    for (; at + 1 < size; at += 2)
        sum += static_cast<std::uint32_t>(bytes[at] << 8 | bytes[at + 1]);
    if (at < size)
        sum += static_cast<std::uint32_t>(bytes[at] << 8);
}

std::uint16_t InternetChecksum::result() const
{
    std::uint64_t folded = sum;
    while (folded >> 16)
        folded = (folded & 0xffff) + (folded >> 16);
    return static_cast<std::uint16_t>(~folded);
}
