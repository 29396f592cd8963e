#pragma once

#include <cstdint>
#include <string>

// A count as people read it: digits in groups of three, "1,234,567".
inline std::string groupedNumber(std::uint64_t number)
{
    std::string digits = std::to_string(number);
    for (std::size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, 1, ',');
    return digits;
}
