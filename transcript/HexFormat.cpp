#include "HexFormat.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace
{
constexpr char hexDigits[] = "0123456789abcdef";

bool isControl(unsigned char byte)
{
    return byte < 0x20 || (byte >= 0x7f && byte <= 0x9f);
}

// Whole seconds (rounded down) and the microseconds past them, for times before 1970 too.
std::tm localTimeOf(std::int64_t timeUs, std::int64_t& microseconds)
{
    std::int64_t seconds = timeUs / 1000000;
    microseconds = timeUs % 1000000;
    if (microseconds < 0) {
        microseconds += 1000000;
        --seconds;
    }
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    localtime_r(&time, &parts);
    return parts;
}
}

std::string formatHexRow(std::uint64_t offset, const char* bytes, std::size_t count)
{
    if (count > hexRowBytes)
        count = hexRowBytes;
    char offsetText[24];
    std::snprintf(offsetText, sizeof offsetText, "%08" PRIx64 "  ", offset);
    std::string row(offsetText);
    for (std::size_t column = 0; column < hexRowBytes; ++column) {
        if (column == hexRowBytes / 2)
            row += ' ';
        if (column < count) {
            const auto byte = static_cast<unsigned char>(bytes[column]);
            row += hexDigits[byte >> 4];
            row += hexDigits[byte & 0xf];
            row += ' ';
        } else {
            row += "   ";
        }
    }
    row += " |";
    for (std::size_t column = 0; column < count; ++column)
        row += isControl(static_cast<unsigned char>(bytes[column])) ? '.' : bytes[column];
    row += '|';
    return row;
}

std::string formatClock(std::int64_t timeUs)
{
    std::int64_t microseconds = 0;
    const std::tm parts = localTimeOf(timeUs, microseconds);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(microseconds / 1000));
    return text;
}

std::string formatTimestamp(std::int64_t timeUs)
{
    std::int64_t microseconds = 0;
    const std::tm parts = localTimeOf(timeUs, microseconds);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(microseconds));
    return text;
}

std::string formatGap(std::int64_t gapUs)
{
    const char sign = gapUs < 0 ? '-' : '+';
    const std::uint64_t magnitude = gapUs < 0 ? std::uint64_t(0) - static_cast<std::uint64_t>(gapUs)
                                              : static_cast<std::uint64_t>(gapUs);
    const std::uint64_t milliseconds = magnitude / 1000;
    char text[40];
    std::snprintf(text, sizeof text, "%c%" PRIu64 ".%03u s", sign, milliseconds / 1000,
                  static_cast<unsigned>(milliseconds % 1000));
    return text;
}
