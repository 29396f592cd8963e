#include "HttpResponseFramer.h"

namespace
{
const char* const crlf = "\r\n";

bool hasLineBreak(const std::string& text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}
}

std::string HttpResponseFramer::frame(const std::string& codeAndReason, const HeaderLines& headers,
                                      const std::string& body)
{
    std::string response = "HTTP/1.0 " + codeAndReason + crlf;
    for (const auto& [name, value] : headers)
        response += name + ": " + value + crlf;
    response += "Content-Length: " + std::to_string(body.size()) + crlf + crlf;
    return response + body;
}

std::string HttpResponseFramer::headerProblem(const std::string& name, const std::string& value)
{
    if (name.empty() || hasLineBreak(name) || name.find(':') != std::string::npos)
        return "header name \"" + name + "\" is empty or has a colon or line break";
    if (hasLineBreak(value))
        return "header " + name + " has a line break in its value";
    return std::string();
}
