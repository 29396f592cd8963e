#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::size_t hexRowBytes = 16;

// One row of a hex dump of up to hexRowBytes bytes, laid out like
// `hexdump -C`:
//   00000010  48 65 6c 6c 6f 0a 00 ff  41 42 43 44 45 46 47 48  |Hello..ÿABCDEFGH|
// The offset has 8 lowercase hex digits (more when it does not fit); a short
// row is padded with spaces so that its text column starts where the others
// do. The text column shows the bytes as Latin-1 characters, with '.' for
// 0x00-0x1F and 0x7F-0x9F; the result is Latin-1 bytes.
std::string formatHexRow(std::uint64_t offset, const char* bytes, std::size_t count);

// Local time of day, "hh:mm:ss.mmm" (milliseconds truncated).
std::string formatClock(std::int64_t timeUs);

// Local date and time to the microsecond, "YYYY-MM-DD hh:mm:ss.uuuuuu".
std::string formatTimestamp(std::int64_t timeUs);

// A time between two chunks in seconds with three decimals, truncated toward
// zero and always signed: "+0.012 s", "+75.250 s", "-0.003 s" (the clock went
// back).
std::string formatGap(std::int64_t gapUs);
