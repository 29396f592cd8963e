#pragma once

#include <cstddef>
#include <cstdint>

// The ones' complement checksum of IPv4 headers and TCP segments, summed over
// pieces in order. Every piece but the last must have an even size.
class InternetChecksum
{
public:
    void add(const std::uint8_t* bytes, std::size_t size);
    void add16(std::uint16_t value) { sum += value; }
    void add32(std::uint32_t value) { sum += (value >> 16) + (value & 0xffff); }

    // The value for the checksum field, in host order.
    std::uint16_t result() const;

private:
    std::uint64_t sum = 0;
};
