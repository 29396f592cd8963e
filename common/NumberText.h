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

// A size as people read it, in the largest binary unit it reaches, with one
// decimal where that is not a whole number: "512 bytes", "64 MiB", "2.5 GiB".
inline std::string byteSize(std::uint64_t bytes)
{
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    int unit = 0;
    std::uint64_t scale = 1024;
    while (unit < 3 && bytes >= scale * 1024) {
        scale *= 1024;
        ++unit;
    }
    const auto tenths = static_cast<std::uint64_t>(static_cast<double>(bytes) / static_cast<double>(scale) * 10 + 0.5);
    std::string text = std::to_string(tenths / 10);
    if (tenths % 10 != 0)
        text += "." + std::to_string(tenths % 10);
    return text + " " + units[unit];
}
