#include "Latin1Text.h"

#include <cstdio>

std::string Latin1Text::toUtf8(const std::string& bytes)
{
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            text += c;
        } else {
            text += static_cast<char>(0xc0 | (byte >> 6));
            text += static_cast<char>(0x80 | (byte & 0x3f));
        }
    }
    return text;
}

bool Latin1Text::fromUtf8(const std::string& text, std::string& bytes, std::string& error)
{
    bytes.clear();
    bytes.reserve(text.size());
    std::size_t character = 0;
    for (std::size_t at = 0; at < text.size(); ++character) {
        const auto lead = static_cast<unsigned char>(text[at]);
        if (lead < 0x80) {
            bytes += text[at++];
            continue;
        }
        if ((lead == 0xc2 || lead == 0xc3) && at + 1 < text.size()) {
            bytes += static_cast<char>(((lead & 0x03) << 6) | (static_cast<unsigned char>(text[at + 1]) & 0x3f));
            at += 2;
            continue;
        }
        unsigned codePoint = lead & (lead >= 0xf0 ? 0x07 : lead >= 0xe0 ? 0x0f : 0x1f);
        std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
        for (std::size_t i = 1; i < length && at + i < text.size(); ++i)
            codePoint = (codePoint << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3f);
        char name[16];
        std::snprintf(name, sizeof name, "U+%04X", codePoint);
        error = std::string("the character ") + name + " at position " + std::to_string(character + 1)
            + " is not Latin-1 (one byte): write such bytes as escapes or hex";
        return false;
    }
    return true;
}
