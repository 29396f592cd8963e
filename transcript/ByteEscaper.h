#pragma once

#include <cstddef>
#include <string>

// Control bytes made visible: 0x00-0x1F, 0x7F and 0x80-0x9F become \r, \n, \t
// or \xHH (two lowercase hex digits), a backslash becomes \\, and every other
// byte is appended unchanged (so the text stays Latin-1, one byte per
// character). Unambiguous: the original bytes can be read back.
void appendEscaped(std::string& out, const char* data, std::size_t size);

// The same, with a line break after every escaped \n, for text meant to be
// read line by line.
void appendEscapedLines(std::string& out, const char* data, std::size_t size);
