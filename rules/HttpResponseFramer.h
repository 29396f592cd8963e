#pragma once

#include <string>
#include <utility>
#include <vector>

// A complete HTTP/1.0 response framed byte for byte as the Http protocol
// frames one: the status line, the header lines in their order, a
// Content-Length, a blank line and the body.
class HttpResponseFramer
{
public:
    using HeaderLines = std::vector<std::pair<std::string, std::string>>;

    static std::string frame(const std::string& codeAndReason, const HeaderLines& headers, const std::string& body);
    // Empty if a header line can be sent as it is; otherwise what is wrong.
    static std::string headerProblem(const std::string& name, const std::string& value);
};
