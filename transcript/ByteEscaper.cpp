#include "ByteEscaper.h"

#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

char* escapeOne(const EscapeTable& table, unsigned char byte, char* next)
{
    const Escape& escape = table[byte];
    if (escape.length == 0) {
        *next++ = static_cast<char>(byte);
        return next;
    }
    std::memcpy(next, escape.text, 4);
    return next + escape.length;
}

#if defined(__SSE2__)
// One bit per byte of the sixteen that needs escaping in either table: below
// 0x20, 0x7F-0x9F, or the backslash.
unsigned escapeMask(__m128i bytes)
{
    const __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8(0x1f)), bytes);
    const __m128i fromDelete = _mm_sub_epi8(bytes, _mm_set1_epi8(0x7f));
    const __m128i high = _mm_cmpeq_epi8(_mm_min_epu8(fromDelete, _mm_set1_epi8(0x20)), fromDelete);
    const __m128i backslash = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(low, high), backslash)));
}

// Sixteen bytes at a time: each group is stored whole, and the output moves
// on past the plain bytes before the first one that needs escaping. Storing
// sixteen bytes at once stays within the room, which is four characters for
// every byte not yet escaped.
char* escapeBytes(const EscapeTable& table, const char* data, std::size_t size, char* next)
{
    const char* const end = data + size;
    while (end - data >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(next), bytes);
        const unsigned mask = escapeMask(bytes);
        if (mask == 0) {
            data += 16;
            next += 16;
            continue;
        }
        const int plain = __builtin_ctz(mask);
        data += plain;
        next += plain;
        next = escapeOne(table, static_cast<unsigned char>(*data++), next);
    }
    while (data != end)
        next = escapeOne(table, static_cast<unsigned char>(*data++), next);
    return next;
}
#else
char* escapeBytes(const EscapeTable& table, const char* data, std::size_t size, char* next)
{
    for (const char* byte = data; byte != data + size; ++byte)
        next = escapeOne(table, static_cast<unsigned char>(*byte), next);
    return next;
}
#endif

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
        const char* const next = escapeBytes(table, data, part, scratch);
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
