// The transcript alone: bytes in both directions, held partly in memory and
// partly in its temporary file, read back as they went in.

#include "Transcript.h"
#include "TranscriptTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

using namespace TranscriptTestSupport;

namespace
{
constexpr std::size_t budget = 4096;
constexpr std::size_t block = 512;

TranscriptLimits smallLimits(const std::string& directory)
{
    return TranscriptLimits{budget, block, directory};
}

std::string randomBytes(std::mt19937& random, std::size_t size)
{
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

// Appends random chunks in random directions, and the same to all and chunks.
void appendRandomChunks(Transcript& transcript, std::mt19937& random, int count, std::string& all,
                        std::vector<Chunk>& chunks)
{
    for (int i = 0; i < count; ++i) {
        const std::string bytes = randomBytes(random, 1 + random() % 1500);
        const Direction direction = random() % 3 == 0 ? Direction::Sent : Direction::Received;
        const std::int64_t time = 1000 + i;
        transcript.append(direction, bytes.data(), bytes.size(), time);
        chunks.push_back(Chunk{direction, time, all.size(), bytes.size()});
        all += bytes;
    }
}

void expectReadsMatch(const Transcript& transcript, const std::string& all, std::mt19937& random)
{
    std::string out;
    ASSERT_EQ(transcript.read(0, all.size() + 100, out), all.size());
    EXPECT_TRUE(out == all);
    for (int i = 0; i < 300; ++i) {
        const std::size_t offset = random() % all.size();
        const std::size_t length = random() % (4 * block);
        const std::size_t expected = std::min(length, all.size() - offset);
        ASSERT_EQ(transcript.read(offset, length, out), expected);
        ASSERT_TRUE(out == all.substr(offset, expected)) << "at " << offset << " length " << length;
    }
    EXPECT_EQ(transcript.read(all.size(), 10, out), 0u);
    EXPECT_TRUE(out.empty());
}
}

TEST(Transcript, KeepsEveryByteInMemoryAndFileAndFindsChunks)
{
    ScratchDirectory spill;
    Transcript transcript(smallLimits(spill.path));
    transcript.append(Direction::Sent, "ignored", 0, 1);
    std::mt19937 random(7);
    std::string all;
    std::vector<Chunk> chunks;
    appendRandomChunks(transcript, random, 400, all, chunks);

    ASSERT_EQ(transcript.size(), all.size());
    ASSERT_EQ(transcript.chunkCount(), chunks.size());
    EXPECT_EQ(transcript.bytesInMemory(), 0u) << "beyond the budget every byte is in the file only";
    EXPECT_FALSE(transcript.storageFailed());
    EXPECT_TRUE(spill.isEmpty()) << "the temporary file has no name";
    expectReadsMatch(transcript, all, random);

    TranscriptTotals expected;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const Chunk& want = chunks[i];
        const Chunk got = transcript.chunk(i);
        ASSERT_EQ(got.direction, want.direction);
        ASSERT_EQ(got.timeUs, want.timeUs);
        ASSERT_EQ(got.offset, want.offset);
        ASSERT_EQ(got.length, want.length);
        ASSERT_EQ(transcript.chunkAt(want.offset), i);
        ASSERT_EQ(transcript.chunkAt(want.offset + want.length - 1), i);
        const auto side = static_cast<std::size_t>(want.direction);
        expected.bytes[side] += want.length;
        ++expected.chunks[side];
    }
    EXPECT_EQ(transcript.chunkAt(all.size()), chunks.size());
    EXPECT_EQ(transcript.chunk(chunks.size()).length, 0u);
    const TranscriptTotals totals = transcript.totals();
    for (std::size_t side : {0, 1}) {
        EXPECT_EQ(totals.bytes[side], expected.bytes[side]);
        EXPECT_EQ(totals.chunks[side], expected.chunks[side]);
    }
}

// One thread appends while another reads whatever is committed: a reader
// never sees a chunk before its bytes, nor bytes that are not the ones sent,
// while the first block grows and later ones go to the file.
TEST(Transcript, ReaderSeesOnlyWholeChunksWhileAppending)
{
    ScratchDirectory spill;
    Transcript transcript(TranscriptLimits{64 * 1024, 16 * 1024, spill.path});
    const auto byteAt = [](std::uint64_t offset) { return static_cast<char>(offset * 131 + (offset >> 9)); };
    std::atomic<bool> done{false};
    std::thread appender([&] {
        std::mt19937 random(11);
        std::string bytes;
        std::uint64_t offset = 0;
        for (int i = 0; i < 3000; ++i) {
            bytes.resize(1 + random() % 700);
            for (char& byte : bytes)
                byte = byteAt(offset++);
            transcript.append(i % 2 ? Direction::Sent : Direction::Received, bytes.data(), bytes.size(), i);
        }
        done = true;
    });
    std::mt19937 random(13);
    std::string out;
    int mismatches = 0;
    while (!done) {
        const std::uint64_t size = transcript.size();
        if (size == 0)
            continue;
        const Chunk last = transcript.chunk(transcript.chunkAt(size - 1));
        mismatches += last.offset + last.length != size;
        const std::uint64_t offset = random() % size;
        transcript.read(offset, 2000, out);
        for (std::size_t i = 0; i < out.size(); ++i)
            mismatches += out[i] != byteAt(offset + i);
    }
    appender.join();
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(transcript.chunkCount(), 3000u);
}

TEST(Transcript, KeepsBytesInMemoryWhenTheFileFailsAndWritesThemOnRetry)
{
    ScratchDirectory spill;
    Transcript transcript(smallLimits(spill.path));
    std::mt19937 random(17);
    std::string all;
    std::vector<Chunk> chunks;
    FileSizeLimit limit(8 * block);
    appendRandomChunks(transcript, random, 100, all, chunks);

    EXPECT_TRUE(transcript.storageFailed());
    EXPECT_EQ(transcript.storageError(), "File too large");
    EXPECT_GT(transcript.bytesInMemory(), 10 * budget);
    expectReadsMatch(transcript, all, random);
    EXPECT_FALSE(transcript.retryStorage());

    limit.lift();
    EXPECT_TRUE(transcript.retryStorage());
    EXPECT_FALSE(transcript.storageFailed());
    EXPECT_EQ(transcript.storageError(), "");
    EXPECT_LE(transcript.bytesInMemory(), budget + block);
    appendRandomChunks(transcript, random, 20, all, chunks);
    EXPECT_LE(transcript.bytesInMemory(), budget + block);
    expectReadsMatch(transcript, all, random);

    Transcript homeless(smallLimits(spill.file("missing")));
    all.clear();
    appendRandomChunks(homeless, random, 20, all, chunks);
    EXPECT_EQ(homeless.storageError(), "No such file or directory");
    expectReadsMatch(homeless, all, random);
}
