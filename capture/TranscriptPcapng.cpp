#include "TranscriptPcapng.h"

#include "PcapngWriter.h"
#include "Transcript.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <new>
#include <system_error>
#include <vector>

namespace
{
constexpr std::size_t pieceSize = 1024 * 1024;

struct PendingFin
{
    int side; // 0 client, 1 server
    std::int64_t timeUs;
    bool written;
};

// Feeds one transcript's chunks and ends to a writer in the order they
// happened on the wire.
class TranscriptCapture
{
public:
    TranscriptCapture(const Transcript& transcript, const ConversationEnds& ends);

    std::string write(const CaptureEndpoints& endpoints, const std::string& path);

private:
    std::int64_t startTime() const;
    std::string writeChunk(const Chunk& chunk);
    // FINs whose side sent nothing from chunk index on and that came before the time.
    std::string writeFinsDue(std::size_t index, std::int64_t timeUs);
    std::string writeReset();

    const Transcript& transcript;
    const KeptStart kept; // what the transcript kept when saving began
    const std::size_t chunkCount;
    const SideEnding sides[2];
    std::size_t dataEnd[2] = {0, 0}; // one past each side's last chunk
    std::vector<PendingFin> fins;    // by time
    PcapngWriter writer;
    std::string piece;
};

TranscriptCapture::TranscriptCapture(const Transcript& transcript, const ConversationEnds& ends)
    : transcript(transcript)
    , kept(transcript.keptStart())
    , chunkCount(transcript.chunkCount())
    , sides{ends.client, ends.server}
{
    for (std::size_t index = kept.firstChunk; index < chunkCount; ++index)
        dataEnd[transcript.chunk(index).direction == Direction::Received ? 0 : 1] = index + 1;
    for (int side = 0; side < 2; ++side) {
        if (sides[side].kind == SideEnding::Kind::Fin)
            fins.push_back({side, sides[side].timeUs, false});
    }
    std::sort(fins.begin(), fins.end(), [](const PendingFin& a, const PendingFin& b) { return a.timeUs < b.timeUs; });
}

std::string TranscriptCapture::write(const CaptureEndpoints& endpoints, const std::string& path)
{
    std::string error = writer.open(path, endpoints, startTime());
    for (int side = 0; side < 2 && error.empty(); ++side) {
        if (kept.dropped.bytes[side] > 0)
            error = writer.skipped(static_cast<Direction>(side), kept.dropped.bytes[side]);
    }
    for (std::size_t index = kept.firstChunk; index < chunkCount && error.empty(); ++index) {
        const Chunk chunk = transcript.chunk(index);
        error = writeFinsDue(index, chunk.timeUs);
        if (error.empty())
            error = writeChunk(chunk);
    }
    if (error.empty())
        error = writeReset();
    const std::string closeError = writer.close();
    return error.empty() ? closeError : error;
}

std::int64_t TranscriptCapture::startTime() const
{
    if (kept.firstChunk < chunkCount)
        return kept.first.timeUs;
    std::int64_t earliest = Transcript::nowUs();
    for (const SideEnding& side : sides) {
        if (side.kind != SideEnding::Kind::Open)
            earliest = std::min(earliest, side.timeUs);
    }
    return earliest;
}

std::string TranscriptCapture::writeChunk(const Chunk& chunk)
{
    std::uint64_t offset = chunk.offset;
    std::uint64_t left = chunk.length;
    while (left > 0) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(left, pieceSize));
        if (transcript.read(offset, wanted, piece) != wanted) {
            // Dropped while saving: the transcript keeps only its newest bytes.
            const std::uint64_t firstKept = transcript.firstKept();
            if (offset >= firstKept)
                return "The conversation could not be read back from its temporary file";
            const std::uint64_t gone = std::min(left, firstKept - offset);
            std::string error = writer.skipped(chunk.direction, gone);
            if (!error.empty())
                return error;
            offset += gone;
            left -= gone;
            continue;
        }
        std::string error = writer.data(chunk.direction, piece.data(), piece.size(), chunk.timeUs);
        if (!error.empty())
            return error;
        offset += wanted;
        left -= wanted;
    }
    return {};
}

std::string TranscriptCapture::writeFinsDue(std::size_t index, std::int64_t timeUs)
{
    for (PendingFin& fin : fins) {
        if (fin.written || dataEnd[fin.side] > index || fin.timeUs > timeUs)
            continue;
        fin.written = true;
        std::string error = fin.side == 0 ? writer.clientEnded(fin.timeUs) : writer.serverEnded(fin.timeUs);
        if (!error.empty())
            return error;
    }
    return {};
}

std::string TranscriptCapture::writeReset()
{
    int resetSide = -1;
    for (int side = 0; side < 2; ++side) {
        if (sides[side].kind == SideEnding::Kind::Reset
            && (resetSide < 0 || sides[side].timeUs < sides[resetSide].timeUs))
            resetSide = side;
    }
    const std::int64_t resetTime = resetSide < 0 ? std::numeric_limits<std::int64_t>::max() : sides[resetSide].timeUs;
    std::string error = writeFinsDue(chunkCount, resetTime);
    if (error.empty() && resetSide >= 0)
        error = writer.reset(resetSide == 1, resetTime);
    return error;
}

std::string renamed(const std::string& from, const std::string& to)
{
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return {};
    return std::generic_category().message(errno);
}
}

std::string writeTranscriptAsPcapng(const Transcript& transcript, const CaptureEndpoints& endpoints,
                                    const ConversationEnds& ends, const std::string& path)
{
    const std::string partPath = path + ".part";
    std::string error;
    try {
        TranscriptCapture capture(transcript, ends);
        error = capture.write(endpoints, partPath);
        if (error.empty())
            error = renamed(partPath, path);
    } catch (const std::bad_alloc&) {
        error = "Out of memory";
    } catch (...) {
        error = "Internal error";
    }
    if (!error.empty())
        ::unlink(partPath.c_str());
    return error;
}
