#pragma once

#include <charconv>
#include <sstream>
#include <string>
#include <type_traits>

// Diagnostic lines on standard output. Each line is composed first and then
// written whole and flushed, so lines from the IO threads and the GUI thread
// never mix within a line.
namespace Log
{
void writeLine(const std::string& text);

namespace detail
{
inline void append(std::string& line, const std::string& text)
{
    line += text;
}

inline void append(std::string& line, const char* text)
{
    line += text;
}

inline void append(std::string& line, char character)
{
    line += character;
}

// Integers are the common case (byte counts, thread numbers) and are written
// without a stream; anything else is written the way a stream writes it.
template <typename Value>
void append(std::string& line, const Value& value)
{
    constexpr bool isCharacter = std::is_same_v<Value, signed char> || std::is_same_v<Value, unsigned char>;
    if constexpr (std::is_integral_v<Value> && !std::is_same_v<Value, bool> && !isCharacter) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        line.append(digits, end);
    } else {
        std::ostringstream stream;
        stream << value;
        line += stream.str();
    }
}
}

// The accept loop writes several lines per connection, so a line is put
// together in one reused string per thread rather than through a stream.
template <typename... Parts>
void line(const Parts&... parts)
{
    thread_local std::string text;
    text.clear();
    (detail::append(text, parts), ...);
    writeLine(text);
}
}
