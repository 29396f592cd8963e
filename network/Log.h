#pragma once

#include <sstream>
#include <string>

// Diagnostic lines on standard output. Each line is composed first and then
// written whole and flushed, so lines from the IO threads and the GUI thread
// never mix within a line.
namespace Log
{
void writeLine(const std::string& text);

// One stream per thread, reused: setting up a stream costs more than most
// lines, and the accept loop writes several per connection.
template <typename... Parts>
void line(const Parts&... parts)
{
    thread_local std::ostringstream stream;
    stream.str(std::string());
    stream.clear();
    (stream << ... << parts);
    writeLine(stream.str());
}
}
