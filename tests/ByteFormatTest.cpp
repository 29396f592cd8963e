// How bytes are shown: escaped control bytes, hex rows, times and gaps.

#include "ByteEscaper.h"
#include "HexFormat.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace
{
std::string byteRange(int first, int last)
{
    std::string bytes;
    for (int byte = first; byte <= last; ++byte)
        bytes += static_cast<char>(byte);
    return bytes;
}
}

TEST(ByteEscaper, EscapesControlBytesAndBackslashOnly)
{
    const std::string all = byteRange(0, 255);
    std::string text = "kept ";
    appendEscaped(text, all.data(), all.size());

    const std::string expected = std::string("kept ")
        + "\\x00\\x01\\x02\\x03\\x04\\x05\\x06\\x07\\x08\\t\\n\\x0b\\x0c\\r\\x0e\\x0f"
          "\\x10\\x11\\x12\\x13\\x14\\x15\\x16\\x17\\x18\\x19\\x1a\\x1b\\x1c\\x1d\\x1e\\x1f"
        + byteRange(0x20, 0x5b) + "\\\\" + byteRange(0x5d, 0x7e)
        + "\\x7f\\x80\\x81\\x82\\x83\\x84\\x85\\x86\\x87\\x88\\x89\\x8a\\x8b\\x8c\\x8d\\x8e\\x8f"
          "\\x90\\x91\\x92\\x93\\x94\\x95\\x96\\x97\\x98\\x99\\x9a\\x9b\\x9c\\x9d\\x9e\\x9f"
        + byteRange(0xa0, 0xff);
    EXPECT_EQ(text, expected);

    std::string many, manyExpected = "kept ";
    for (int i = 0; i < 200; ++i) {
        many += all;
        manyExpected += expected.substr(5);
    }
    text = "kept ";
    appendEscaped(text, many.data(), many.size());
    EXPECT_TRUE(text == manyExpected);

    std::string lines;
    appendEscapedLines(lines, "a\r\nb\\\n", 6);
    EXPECT_EQ(lines, "a\\r\\n\nb\\\\\\n\n");
}

TEST(HexFormat, RowsLikeHexdumpAndReadableTimes)
{
    const std::string full("Hello\n\0\xff" "ABCDEFGH", 16);
    EXPECT_EQ(formatHexRow(0x10, full.data(), 16),
              "00000010  48 65 6c 6c 6f 0a 00 ff  41 42 43 44 45 46 47 48  |Hello..\xff" "ABCDEFGH|");
    EXPECT_EQ(formatHexRow(0x123456789a, "\x7f\x9f\xa0", 3),
              "123456789a  7f 9f a0" + std::string(42, ' ') + "|..\xa0|");
    EXPECT_EQ(formatHexRow(0, "0123456789", 10).size(), formatHexRow(0, full.data(), 16).size() - 6);

    ::setenv("TZ", "UTC", 1);
    ::tzset();
    const std::int64_t time = 1796661990123456; // 2026-12-07 16:46:30.123456 UTC
    EXPECT_EQ(formatClock(time), "16:46:30.123");
    EXPECT_EQ(formatTimestamp(time), "2026-12-07 16:46:30.123456");
    EXPECT_EQ(formatTimestamp(-1), "1969-12-31 23:59:59.999999");
    EXPECT_EQ(formatGap(12999), "+0.012 s");
    EXPECT_EQ(formatGap(75250000), "+75.250 s");
    EXPECT_EQ(formatGap(-3000), "-0.003 s");
}
