#pragma once

#include <charconv>
#include <cstddef>
#include <sstream>
#include <string>
#include <type_traits>

// Diagnostic lines on standard output. Each line is composed first and then
// queued whole to one writer thread, which writes the lines in order and
// flushes them, so lines from the IO threads and the GUI thread never mix
// within a line, and a slow standard output (a terminal that scrolls slowly, a
// full pipe) holds up nobody until the queue is full.
namespace Log
{
// The most bytes of lines waiting for the writer (for a line with bytes, the
// bytes as given, not their formatted text). At the limit a thread that logs
// waits for room, which slows the IO threads and so pushes back on clients,
// except a thread marked by setNonBlockingThread.
constexpr std::size_t queueLimit = 8 * 1024 * 1024;

void writeLine(const std::string& text);

// Appends the text that stands for size bytes at data.
using ByteFormat = void (*)(std::string& out, const char* data, std::size_t size);

// One line: text followed by the bytes as format writes them. The bytes are
// copied into the queue as they are and formatted by the writer thread, in
// pieces, so that the thread that logs a large chunk of received data does
// not pay for its formatting, and the formatted text is never held whole.
// format must give the same text for the bytes whatever the pieces.
void writeLine(const std::string& text, const char* data, std::size_t size, ByteFormat format);

// Marks the calling thread (the GUI thread) as one that must never wait: its
// lines go into the queue even beyond queueLimit. They are few and short.
void setNonBlockingThread();

// Lets the calling thread's lines pass the limit while it exists: for code
// that logs while holding a lock that the GUI thread also takes.
class NonBlockingScope
{
public:
    NonBlockingScope();
    ~NonBlockingScope();

    NonBlockingScope(const NonBlockingScope&) = delete;
    NonBlockingScope& operator=(const NonBlockingScope&) = delete;

private:
    bool previous;
};

// Where the lines go. Chosen before the first line is written; the desktop
// keeps standard output, and a program whose standard output carries
// something else sends them to standard error or nowhere.
enum class Destination { StandardOutput, StandardError, Nowhere };
void setDestination(Destination destination);

// Waits until every line queued before the call has been written and flushed.
// Also done when the process exits normally.
void flush();

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
