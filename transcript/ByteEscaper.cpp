#include "ByteEscaper.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace
{
struct Escape
{
    char text[4];
    std::uint8_t length; // 0: the byte stays as it is
};

using EscapeTable = std::array<Escape, 256>;

constexpr EscapeTable makeTable(bool breakLines)
{
    constexpr char hex[] = "0123456789abcdef";
    EscapeTable table{};
    for (int byte = 0; byte < 256; ++byte) {
        Escape& escape = table[byte];
        if (byte == '\\') {
            escape = Escape{{'\\', '\\'}, 2};
        } else if (byte == '\r') {
            escape = Escape{{'\\', 'r'}, 2};
        } else if (byte == '\n') {
            escape = breakLines ? Escape{{'\\', 'n', '\n'}, 3} : Escape{{'\\', 'n'}, 2};
        } else if (byte == '\t') {
            escape = Escape{{'\\', 't'}, 2};
        } else if (byte < 0x20 || (byte >= 0x7f && byte <= 0x9f)) {
            escape = Escape{{'\\', 'x', hex[byte >> 4], hex[byte & 0xf]}, 4};
        }
    }
    return table;
}

constexpr EscapeTable inlineTable = makeTable(false);
constexpr EscapeTable lineTable = makeTable(true);

constexpr std::uint64_t everyByte = 0x0101010101010101;
constexpr std::uint64_t highBits = 0x8080808080808080;

// True when some byte of word is below limit (at most 0x80), for words whose
// bytes are all below 0x80.
constexpr bool hasByteBelow(std::uint64_t word, std::uint8_t limit)
{
    return ((word - everyByte * limit) & ~word & highBits) != 0;
}

// True when none of the eight bytes needs escaping in either table: all are
// printable ASCII (0x20-0x7E) other than the backslash. Most text passes
// eight bytes at a time this way.
constexpr bool isPlainAscii(std::uint64_t word)
{
    return (word & highBits) == 0 && !hasByteBelow(word, 0x20) && !hasByteBelow(word ^ (everyByte * 0x7f), 1)
           && !hasByteBelow(word ^ (everyByte * '\\'), 1);
}

char* escapeBytes(const EscapeTable& table, const char* data, std::size_t size, char* next)
{
    for (const char* byte = data; byte != data + size; ++byte) {
        const Escape& escape = table[static_cast<unsigned char>(*byte)];
        if (escape.length == 0) {
            *next++ = *byte;
        } else {
            std::memcpy(next, escape.text, 4);
            next += escape.length;
        }
    }
    return next;
}

// Writes into a scratch buffer with room for the worst case (four characters
// a byte), then appends what was used: no append call per byte, and no
// zero-filling of room that is not used.
void appendWith(const EscapeTable& table, std::string& out, const char* data, std::size_t size)
{
    constexpr std::size_t slice = 16 * 1024;
    thread_local std::string room;
    if (room.size() < 4 * slice)
        room.resize(4 * slice);
    char* const scratch = room.data();
    while (size > 0) {
        const std::size_t part = size < slice ? size : slice;
        char* next = scratch;
        std::size_t at = 0;
        for (; at + 8 <= part; at += 8) {
            std::uint64_t word;
            std::memcpy(&word, data + at, 8);
            if (isPlainAscii(word)) {
                std::memcpy(next, data + at, 8);
                next += 8;
            } else {
                next = escapeBytes(table, data + at, 8, next);
            }
        }
        next = escapeBytes(table, data + at, part - at, next);
        out.append(scratch, static_cast<std::size_t>(next - scratch));
        data += part;
        size -= part;
    }
}
}

void appendEscaped(std::string& out, const char* data, std::size_t size)
{
    appendWith(inlineTable, out, data, size);
}

void appendEscapedLines(std::string& out, const char* data, std::size_t size)
{
    appendWith(lineTable, out, data, size);
}
