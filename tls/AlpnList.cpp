#include "AlpnList.h"

#include <algorithm>

namespace
{
bool isSeparator(char c)
{
    return c == ',' || c == ' ' || c == '\t';
}

bool isPrintable(char c)
{
    return c > ' ' && c < 127;
}
}

namespace AlpnList
{
std::optional<std::vector<std::string>> parse(const std::string& text, std::string& reason)
{
    std::vector<std::string> protocols;
    std::size_t start = 0;
    while (start < text.size()) {
        if (isSeparator(text[start])) {
            ++start;
            continue;
        }
        std::size_t end = start;
        while (end < text.size() && !isSeparator(text[end]))
            ++end;
        const std::string name = text.substr(start, end - start);
        start = end;
        if (name.size() > 255) {
            reason = "An ALPN protocol name is at most 255 characters long";
            return std::nullopt;
        }
        if (!std::all_of(name.begin(), name.end(), isPrintable)) {
            reason = "An ALPN protocol name is printable ASCII without spaces";
            return std::nullopt;
        }
        if (std::find(protocols.begin(), protocols.end(), name) != protocols.end()) {
            reason = "ALPN protocol " + name + " is listed twice";
            return std::nullopt;
        }
        protocols.push_back(name);
    }
    return protocols;
}

std::string format(const std::vector<std::string>& protocols)
{
    std::string text;
    for (const std::string& protocol : protocols) {
        if (!text.empty())
            text += ", ";
        text += protocol;
    }
    return text;
}
}
