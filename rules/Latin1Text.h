#pragma once

#include <string>

// Rule files are UTF-8 JSON; a rule's bytes are Latin-1, one byte per
// character, as the program shows them. These convert between the two.
class Latin1Text
{
public:
    static std::string toUtf8(const std::string& bytes);
    // The Latin-1 bytes of valid UTF-8 text. Returns false, with the
    // character and its position in error, if one is beyond U+00FF.
    static bool fromUtf8(const std::string& text, std::string& bytes, std::string& error);
};
