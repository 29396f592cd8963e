#include "ByteEscaper.h"

#include <array>
#include <cstdint>

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

// Copies runs of plain bytes in one go; most received text is such a run.
void appendWith(const EscapeTable& table, std::string& out, const char* data, std::size_t size)
{
    out.reserve(out.size() + size);
    const char* const end = data + size;
    const char* runStart = data;
    for (const char* byte = data; byte != end; ++byte) {
        const Escape& escape = table[static_cast<unsigned char>(*byte)];
        if (escape.length == 0)
            continue;
        out.append(runStart, byte);
        out.append(escape.text, escape.length);
        runStart = byte + 1;
    }
    out.append(runStart, end);
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
