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

// A port number of at most five digits; nothing for anything else. The
// reason quotes the word as typed.
std::optional<unsigned int> portOf(const std::string& word, const std::string& asTyped, std::string& reason)
{
    if (word.empty() || !std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        reason = "Not a port number: " + asTyped;
        return std::nullopt;
    }
    const std::size_t significant = word.find_first_not_of('0');
    if (significant != std::string::npos && (word.size() - significant > 5 || std::stoul(word) > 65535)) {
        reason = "Port out of range (0-65535): " + asTyped;
        return std::nullopt;
    }
    return significant == std::string::npos ? 0u : static_cast<unsigned int>(std::stoul(word));
}

const char tlsMark[] = "/tls";

// Splits "8443/tls" into its number and the mark; the mark in any case.
bool takeTlsMark(std::string& word)
{
    const std::size_t markLength = sizeof tlsMark - 1;
    if (word.size() <= markLength)
        return false;
    const std::size_t start = word.size() - markLength;
    for (std::size_t i = 0; i < markLength; ++i) {
        if (std::tolower(static_cast<unsigned char>(word[start + i])) != tlsMark[i])
            return false;
    }
    word.erase(start);
    return true;
}

std::optional<std::vector<ListedPort>> parseWords(const std::string& text, bool marksAllowed, std::string& reason)
{
    const std::vector<std::string> all = words(text);
    if (all.empty()) {
        reason = "No port given";
        return std::nullopt;
    }
    if (all.size() > PortList::maxPorts) {
        reason = "At most " + std::to_string(PortList::maxPorts) + " ports";
        return std::nullopt;
    }
    std::vector<ListedPort> ports;
    for (std::string word : all) {
        const std::string asTyped = word;
        const bool tls = marksAllowed && takeTlsMark(word);
        const std::optional<unsigned int> port = portOf(word, asTyped, reason);
        if (!port)
            return std::nullopt;
        const auto same = [&](const ListedPort& listed) { return listed.number == *port; };
        if (*port != 0 && std::any_of(ports.begin(), ports.end(), same)) {
            reason = "Port " + std::to_string(*port) + " is listed twice";
            return std::nullopt;
        }
        ports.push_back({*port, tls});
    }
    return ports;
}
}

namespace PortList
{
std::optional<std::vector<unsigned int>> parse(const std::string& text, std::string& reason)
{
    const auto listed = parseWords(text, false, reason);
    if (!listed)
        return std::nullopt;
    return numbers(*listed);
}

std::string format(const std::vector<unsigned int>& ports)
{
    return format(plain(ports));
}

std::optional<std::vector<ListedPort>> parseListed(const std::string& text, std::string& reason)
{
    return parseWords(text, true, reason);
}

std::string format(const std::vector<ListedPort>& ports)
{
    std::string text;
    for (const ListedPort& port : ports) {
        if (!text.empty())
            text += ", ";
        text += std::to_string(port.number);
        if (port.tls)
            text += tlsMark;
    }
    return text;
}

std::vector<unsigned int> numbers(const std::vector<ListedPort>& ports)
{
    std::vector<unsigned int> result;
    for (const ListedPort& port : ports)
        result.push_back(port.number);
    return result;
}

std::vector<ListedPort> plain(const std::vector<unsigned int>& ports)
{
    std::vector<ListedPort> result;
    for (const unsigned int number : ports)
        result.push_back({number, false});
    return result;
}
}
