#pragma once

#include <sstream>
#include <string>

// Diagnostic lines on standard output. Each line is composed first and then
// written whole and flushed, so lines from the IO threads and the GUI thread
// never mix within a line.
namespace Log
{
void writeLine(const std::string& text);

template <typename... Parts>
void line(const Parts&... parts)
{
    std::ostringstream stream;
    (stream << ... << parts);
    writeLine(stream.str());
}
}
