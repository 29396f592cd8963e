#include "HttpStatus.h"

const char* const HttpStatus::defaultStatus = "200 OK";

std::string HttpStatus::problem(const std::string& codeAndReason)
{
    for (std::size_t i = 0; i < 3; ++i)
        if (i >= codeAndReason.size() || codeAndReason[i] < '0' || codeAndReason[i] > '9')
            return "HTTP status \"" + codeAndReason + "\" must start with a 3-digit code";
    if (codeAndReason.size() < 4 || codeAndReason[3] != ' ')
        return "HTTP status \"" + codeAndReason + "\" needs a space after the code";
    const std::size_t lineBreak = codeAndReason.find_first_of("\r\n");
    if (lineBreak != std::string::npos)
        return "HTTP status has a line break at position " + std::to_string(lineBreak + 1);
    return std::string();
}
