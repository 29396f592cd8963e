// Saving a transcript to real files: the received bytes as they came, and the
// whole conversation as text.

#include "Transcript.h"
#include "TranscriptSaver.h"
#include "TranscriptTestSupport.h"

#include <gtest/gtest.h>

#include <ctime>
#include <random>

using namespace TranscriptTestSupport;

TEST(TranscriptSaver, SavesReceivedBytesExactlyAndKeepsTheOldFileOnFailure)
{
    ScratchDirectory folder;
    Transcript transcript(TranscriptLimits{64 * 1024, 16 * 1024, folder.path});
    std::string received;
    for (int byte = 0; byte < 256; ++byte)
        received += static_cast<char>(byte);
    transcript.append(Direction::Received, received.data(), received.size(), 1);
    std::mt19937 random(23);
    while (received.size() < 1024 * 1024 + 256) {
        std::string bytes(1 + random() % 70000, '\0');
        for (char& byte : bytes)
            byte = static_cast<char>(random());
        transcript.append(Direction::Received, bytes.data(), bytes.size(), 2);
        received += bytes;
        if (random() % 2)
            transcript.append(Direction::Sent, "reply\n", 6, 3);
    }

    const std::string path = folder.file("received.bin");
    std::string error;
    ASSERT_TRUE(saveReceivedBytes(transcript, path, error)) << error;
    EXPECT_TRUE(fileContent(path) == received);

    {
        FileSizeLimit limit(4096);
        EXPECT_FALSE(saveReceivedBytes(transcript, path, error));
        EXPECT_FALSE(saveAsText(transcript, path, error));
    }
    EXPECT_EQ(error, "File too large");
    EXPECT_TRUE(fileContent(path) == received);
    EXPECT_FALSE(std::filesystem::exists(path + ".part"));
    EXPECT_FALSE(saveAsText(transcript, folder.file("missing/text.txt"), error));
    EXPECT_EQ(error, "No such file or directory");
}

// Each byte is written as the character it shows (UTF-8), and the notes
// follow the chunks they came after.
TEST(TranscriptSaver, SavesTheConversationAsEscapedText)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    const std::int64_t start = 1796661990123456; // 2026-12-07 16:46:30.123456 UTC
    Transcript transcript;
    transcript.append(Direction::Received, "GET / HTTP/1.0\r\n\r\n", 18, start);
    transcript.append(Direction::Sent, "HTTP/1.0 200 OK\r\n\r\n\x1b[1mhi\\", 26, start + 12345);
    transcript.addEvent(EventKind::Note, "[Sent the file a.bin: 3 bytes]", start + 12346);
    transcript.addEvent(EventKind::ClientEnded, "", start + 12347);
    transcript.append(Direction::Received, "\n\xe9\xa0\xff", 4, start + 2012345);

    ScratchDirectory folder;
    const std::string path = folder.file("conversation.txt");
    std::string error;
    ASSERT_TRUE(saveAsText(transcript, path, error)) << error;
    EXPECT_EQ(fileContent(path),
              "--- received 18 bytes at 2026-12-07 16:46:30.123456\n"
              "GET / HTTP/1.0\\r\\n\n"
              "\\r\\n\n"
              "--- sent 26 bytes at 2026-12-07 16:46:30.135801 (+0.012 s)\n"
              "HTTP/1.0 200 OK\\r\\n\n"
              "\\r\\n\n"
              "\\x1b[1mhi\\\\\n"
              "--- [Sent the file a.bin: 3 bytes]\n"
              "--- received 4 bytes at 2026-12-07 16:46:32.135801 (+2.000 s)\n"
              "\\n\n"
              "\u00e9\u00a0\u00ff\n");
}
