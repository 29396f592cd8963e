#include "ReplyEncoder.h"

namespace
{
int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string position(std::size_t index)
{
    return " at position " + std::to_string(index + 1);
}

EncodedReply failure(std::string error)
{
    return EncodedReply{std::string(), std::move(error)};
}
}

EncodedReply ReplyEncoder::encode(const std::string& input, InputMode mode, LineEnding lineEnding)
{
    switch (mode) {
    case InputMode::Escapes:
        return encodeEscapes(input);
    case InputMode::Hex:
        return encodeHex(input);
    case InputMode::Text:
        break;
    }
    return encodeText(input, lineEnding);
}

EncodedReply ReplyEncoder::encodeText(const std::string& input, LineEnding lineEnding)
{
    const char* const breaks[] = {"\n", "\r\n", "\r"};
    const std::string lineBreak = breaks[static_cast<int>(lineEnding)];
    EncodedReply reply;
    reply.bytes.reserve(input.size());
    for (std::size_t i = 0; i < input.size(); ++i) {
        const char c = input[i];
        if (c == '\r' && i + 1 < input.size() && input[i + 1] == '\n')
            continue;
        if (c == '\r' || c == '\n')
            reply.bytes += lineBreak;
        else
            reply.bytes += c;
    }
    return reply;
}

EncodedReply ReplyEncoder::encodeEscapes(const std::string& input)
{
    EncodedReply reply;
    reply.bytes.reserve(input.size());
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (input[i] != '\\') {
            reply.bytes += input[i];
            continue;
        }
        if (i + 1 == input.size())
            return failure("Lone backslash at the end" + position(i) + " (write \\\\ for a backslash)");
        const char kind = input[i + 1];
        switch (kind) {
        case 'r': reply.bytes += '\r'; break;
        case 'n': reply.bytes += '\n'; break;
        case 't': reply.bytes += '\t'; break;
        case '0': reply.bytes += '\0'; break;
        case '\\': reply.bytes += '\\'; break;
        case 'x': {
            const std::string digits = input.substr(i + 2, 2);
            if (digits.size() < 2 || hexValue(digits[0]) < 0 || hexValue(digits[1]) < 0)
                return failure("Invalid escape \\x" + digits + position(i) + ": \\x needs two hex digits");
            reply.bytes += static_cast<char>(hexValue(digits[0]) * 16 + hexValue(digits[1]));
            i += 2;
            break;
        }
        default:
            return failure(std::string("Unknown escape \\") + kind + position(i));
        }
        ++i;
    }
    return reply;
}

EncodedReply ReplyEncoder::encodeHex(const std::string& input)
{
    EncodedReply reply;
    reply.bytes.reserve(input.size() / 2);
    int high = -1;
    std::size_t highIndex = 0;
    for (std::size_t i = 0; i < input.size(); ++i) {
        const char c = input[i];
        if (isSpace(c))
            continue;
        const int value = hexValue(c);
        if (value < 0)
            return failure(std::string("Not a hex digit '") + c + "'" + position(i));
        if (high < 0) {
            high = value;
            highIndex = i;
        } else {
            reply.bytes += static_cast<char>(high * 16 + value);
            high = -1;
        }
    }
    if (high >= 0)
        return failure("Odd number of hex digits: the digit" + position(highIndex) + " has no partner");
    return reply;
}
