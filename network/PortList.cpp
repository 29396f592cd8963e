#include "PortList.h"

#include <algorithm>
#include <cctype>

namespace
{
bool isSeparator(char c)
{
    return c == ',' || std::isspace(static_cast<unsigned char>(c));
}

std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < text.size()) {
        while (start < text.size() && isSeparator(text[start]))
            ++start;
        std::size_t end = start;
        while (end < text.size() && !isSeparator(text[end]))
            ++end;
        if (end > start)
            result.push_back(text.substr(start, end - start));
        start = end;
    }
    return result;
}

// A port number of at most five digits; nothing for anything else.
std::optional<unsigned int> portOf(const std::string& word, std::string& reason)
{
    if (!std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        reason = "Not a port number: " + word;
        return std::nullopt;
    }
    const std::size_t significant = word.find_first_not_of('0');
    if (significant != std::string::npos && (word.size() - significant > 5 || std::stoul(word) > 65535)) {
        reason = "Port out of range (0-65535): " + word;
        return std::nullopt;
    }
    return significant == std::string::npos ? 0u : static_cast<unsigned int>(std::stoul(word));
}
}

namespace PortList
{
std::optional<std::vector<unsigned int>> parse(const std::string& text, std::string& reason)
{
    const std::vector<std::string> all = words(text);
    if (all.empty()) {
        reason = "No port given";
        return std::nullopt;
    }
    if (all.size() > maxPorts) {
        reason = "At most " + std::to_string(maxPorts) + " ports";
        return std::nullopt;
    }
    std::vector<unsigned int> ports;
    for (const std::string& word : all) {
        const std::optional<unsigned int> port = portOf(word, reason);
        if (!port)
            return std::nullopt;
        if (*port != 0 && std::find(ports.begin(), ports.end(), *port) != ports.end()) {
            reason = "Port " + std::to_string(*port) + " is listed twice";
            return std::nullopt;
        }
        ports.push_back(*port);
    }
    return ports;
}

std::string format(const std::vector<unsigned int>& ports)
{
    std::string text;
    for (const unsigned int port : ports) {
        if (!text.empty())
            text += ", ";
        text += std::to_string(port);
    }
    return text;
}
}
