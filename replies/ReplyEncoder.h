#pragma once

#include <string>

// How the typed text is read. The integers are stored in the settings.
enum class InputMode : int { Text = 0, Escapes = 1, Hex = 2 };
// What a line break of the typed text becomes in Text mode. Stored as well.
enum class LineEnding : int { LF = 0, CRLF = 1, CR = 2 };

// The bytes to send, or why there are none.
struct EncodedReply
{
    std::string bytes;
    std::string error;

    bool ok() const { return error.empty(); }
};

// Turns what the user typed (Latin-1, one byte per character) into the bytes
// to send:
// - Text: as typed, every line break (LF, CR LF or CR) written as lineEnding;
// - Escapes: \r \n \t \0 \\ and \xHH become their bytes, the rest is as typed;
// - Hex: pairs of hex digits, white space ignored.
// Positions in errors count characters from 1.
class ReplyEncoder
{
public:
    static EncodedReply encode(const std::string& input, InputMode mode, LineEnding lineEnding = LineEnding::LF);

private:
    static EncodedReply encodeText(const std::string& input, LineEnding lineEnding);
    static EncodedReply encodeEscapes(const std::string& input);
    static EncodedReply encodeHex(const std::string& input);
};
