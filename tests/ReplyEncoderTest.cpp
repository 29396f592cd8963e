// What the typed text becomes on the wire in each input mode, what is
// refused and how, and the saved replies' list.

#include "HttpStatus.h"
#include "ReplyEncoder.h"
#include "SavedReplyList.h"

#include <gtest/gtest.h>

namespace
{
std::string bytesOf(const std::string& input, InputMode mode, LineEnding ending = LineEnding::LF)
{
    const EncodedReply reply = ReplyEncoder::encode(input, mode, ending);
    EXPECT_TRUE(reply.ok()) << reply.error;
    return reply.bytes;
}

using Headers = std::vector<std::pair<std::string, std::string>>;

SavedReply reply(const std::string& name, const std::string& body, InputMode mode = InputMode::Text,
                 const std::string& status = "200 OK", const Headers& headers = {})
{
    SavedReply saved;
    saved.name = name;
    saved.body = body;
    saved.mode = mode;
    saved.status = status;
    saved.headers = headers;
    return saved;
}

std::string errorOf(const std::string& input, InputMode mode)
{
    const EncodedReply reply = ReplyEncoder::encode(input, mode);
    EXPECT_EQ(reply.bytes, "");
    return reply.error;
}
}

TEST(ReplyEncoder, EachModeGivesExactlyItsBytes)
{
    const std::string typed = "a\nb\r\nc\rd\xE9\\x";
    EXPECT_EQ(bytesOf(typed, InputMode::Text), "a\nb\nc\nd\xE9\\x");
    EXPECT_EQ(bytesOf(typed, InputMode::Text, LineEnding::CRLF), "a\r\nb\r\nc\r\nd\xE9\\x");
    EXPECT_EQ(bytesOf(typed, InputMode::Text, LineEnding::CR), "a\rb\rc\rd\xE9\\x");
    EXPECT_EQ(bytesOf("GET\\r\\n\\t\\0\\\\\\x00\\xfF\\x41 \xE9\n", InputMode::Escapes),
              std::string("GET\r\n\t\0\\\0\xFF" "A \xE9\n", 14));
    EXPECT_EQ(bytesOf(" 48 65\n6c6C\t6f 00 ", InputMode::Hex), std::string("Hello\0", 6));
    EXPECT_EQ(bytesOf("", InputMode::Hex), "");
}

TEST(ReplyEncoder, InvalidInputSaysWhatAndWhere)
{
    EXPECT_EQ(errorOf("abc 12\\q", InputMode::Escapes), "Unknown escape \\q at position 7");
    EXPECT_EQ(errorOf("\\xZ1", InputMode::Escapes), "Invalid escape \\xZ1 at position 1: \\x needs two hex digits");
    EXPECT_EQ(errorOf("ab\\x4", InputMode::Escapes), "Invalid escape \\x4 at position 3: \\x needs two hex digits");
    EXPECT_EQ(errorOf("ab\\", InputMode::Escapes),
              "Lone backslash at the end at position 3 (write \\\\ for a backslash)");
    EXPECT_EQ(errorOf("41 4", InputMode::Hex), "Odd number of hex digits: the digit at position 4 has no partner");
    EXPECT_EQ(errorOf("41 g4", InputMode::Hex), "Not a hex digit 'g' at position 4");
}

TEST(HttpStatusLine, CodeSpaceAndReasonWithoutLineBreaks)
{
    EXPECT_EQ(HttpStatus::problem("418 I'm a teapot"), "");
    EXPECT_EQ(HttpStatus::problem("204 "), "");
    EXPECT_EQ(HttpStatus::problem("20 OK"), "HTTP status \"20 OK\" must start with a 3-digit code");
    EXPECT_EQ(HttpStatus::problem("200OK"), "HTTP status \"200OK\" needs a space after the code");
    EXPECT_EQ(HttpStatus::problem("200 OK\r\nX: y"), "HTTP status has a line break at position 7");
}

TEST(SavedReplyList, ValidRepliesOnlyReplacedByNameAndBounded)
{
    SavedReplyList list;
    EXPECT_EQ(list.put(reply("ping", "pong\\n", InputMode::Escapes, "200 OK", {{"X-A", "1"}})), "");
    EXPECT_EQ(list.put(reply("ping", "706f6e67", InputMode::Hex, "201 Created")), "");
    ASSERT_EQ(list.all().size(), 1u);
    EXPECT_EQ(list.find("ping")->body, "706f6e67");
    EXPECT_EQ(list.put(reply("bad", "\\q", InputMode::Escapes)), "Unknown escape \\q at position 1");
    EXPECT_NE(list.put(reply("", "x")), "");
    EXPECT_NE(list.put(reply("h", "x", InputMode::Text, "200 OK", {{"Bad:Name", "v"}})), "");
    EXPECT_NE(list.put(reply("h", "x", InputMode::Text, "OK")), "");
    EXPECT_NE(list.put(reply("m", "x", static_cast<InputMode>(7))), "");
    for (std::size_t i = 1; i < SavedReplyList::maxReplies; ++i)
        EXPECT_EQ(list.put(reply("r" + std::to_string(i), "x")), "");
    EXPECT_EQ(list.put(reply("one too many", "x")), "there are already 200 saved replies; delete one first");
    EXPECT_EQ(list.put(reply("r1", "replaced")), "");
    EXPECT_TRUE(list.remove("ping"));
    EXPECT_FALSE(list.remove("ping"));
    EXPECT_EQ(list.put(reply("one more", "x")), "");
    EXPECT_EQ(list.all().back().name, "one more");
}
