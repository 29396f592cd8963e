// The transcript alone: bytes in both directions, held partly in memory and
// partly in its temporary file, read back as they went in.

#include "DiskReserve.h"
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

// At its cap a transcript that keeps its newest bytes holds exactly them,
// whether they live in memory or in its file; chunks keep their numbers, the
// first one kept starts at the first byte kept, and what was dropped is
// counted each way and marked once.
TEST(Transcript, KeepsExactlyTheNewestBytesAtItsCap)
{
    ScratchDirectory spill;
    for (const std::uint64_t cap : {std::uint64_t(budget / 2 + 7), std::uint64_t(20 * budget + 123)}) {
        TranscriptLimits limits = smallLimits(spill.path);
        limits.keepAtMost = cap;
        limits.atCap = AtCap::KeepNewest;
        Transcript transcript(limits);
        std::mt19937 random(19);
        std::string all;
        std::vector<Chunk> chunks;
        appendRandomChunks(transcript, random, 300, all, chunks);

        const std::uint64_t firstKept = all.size() - cap;
        ASSERT_EQ(transcript.size(), all.size());
        ASSERT_EQ(transcript.firstKept(), firstKept);
        std::string kept;
        EXPECT_EQ(transcript.read(firstKept, cap + 10, kept), cap);
        EXPECT_TRUE(kept == all.substr(firstKept));
        EXPECT_EQ(transcript.read(firstKept - 1, 10, kept), 0u);
        EXPECT_FALSE(transcript.full());
        EXPECT_LE(transcript.bytesInMemory(), cap);

        const std::size_t first = transcript.firstChunk();
        ASSERT_GT(first, 0u);
        ASSERT_EQ(transcript.chunkAt(firstKept), first);
        ASSERT_EQ(transcript.chunkAt(0), first);
        const Chunk front = transcript.chunk(first);
        EXPECT_EQ(front.offset, firstKept);
        EXPECT_EQ(front.offset + front.length, chunks[first].offset + chunks[first].length);
        EXPECT_EQ(transcript.chunk(first - 1).length, 0u);
        EXPECT_EQ(transcript.chunk(first + 1).offset, chunks[first + 1].offset);
        EXPECT_EQ(transcript.chunkCount(), chunks.size());

        TranscriptTotals expected;
        for (std::size_t i = 0; i < first; ++i) {
            expected.bytes[static_cast<int>(chunks[i].direction)] += chunks[i].length;
            ++expected.chunks[static_cast<int>(chunks[i].direction)];
        }
        expected.bytes[static_cast<int>(front.direction)] += firstKept - chunks[first].offset;
        const TranscriptTotals dropped = transcript.dropped();
        for (int side : {0, 1}) {
            EXPECT_EQ(dropped.bytes[side], expected.bytes[side]);
            EXPECT_EQ(dropped.chunks[side], expected.chunks[side]);
        }
        ASSERT_EQ(transcript.eventCount(), 1u);
        EXPECT_EQ(transcript.event(0).kind, EventKind::OlderBytesDropped);
    }
}

// Pausing at the cap loses nothing: the transcript only says it is full.
TEST(Transcript, SaysItIsFullAtItsCapAndKeepsEveryByte)
{
    ScratchDirectory spill;
    TranscriptLimits limits = smallLimits(spill.path);
    limits.keepAtMost = 3 * budget;
    Transcript transcript(limits);
    std::mt19937 random(23);
    std::string all;
    std::vector<Chunk> chunks;
    while (!transcript.full())
        appendRandomChunks(transcript, random, 1, all, chunks);
    EXPECT_GE(all.size(), limits.keepAtMost);
    EXPECT_EQ(transcript.firstKept(), 0u);
    expectReadsMatch(transcript, all, random);
}

// The disk reserve refuses what would eat into it: the bytes stay in memory
// and the transcript says why, as for a file that cannot grow.
TEST(Transcript, KeepsTheDiskReserve)
{
    ScratchDirectory spill;
    TranscriptLimits limits = smallLimits(spill.path);
    ReservePolicy unreachable;
    unreachable.minimumFree = std::uint64_t(1) << 50;
    limits.reserve = std::make_shared<DiskReserve>(spill.path, unreachable);
    Transcript transcript(limits);
    std::mt19937 random(29);
    std::string all;
    std::vector<Chunk> chunks;
    appendRandomChunks(transcript, random, 50, all, chunks);

    EXPECT_TRUE(transcript.storageFailed());
    EXPECT_TRUE(transcript.reserveReached());
    EXPECT_EQ(transcript.storageError(), "less than 1024 TiB free in " + spill.path);
    EXPECT_EQ(transcript.bytesInMemory(), all.size());
    EXPECT_FALSE(transcript.retryStorage());
    expectReadsMatch(transcript, all, random);
}
