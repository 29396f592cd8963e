#pragma once

#include <string>

// The code and reason of an HTTP status line, such as "404 Not Found".
class HttpStatus
{
public:
    static const char* const defaultStatus;

    // Empty if codeAndReason is a 3-digit code, a space and a reason without
    // CR or LF; otherwise what is wrong with it.
    static std::string problem(const std::string& codeAndReason);
};
