#include "TranscriptSaver.h"

#include "ByteEscaper.h"
#include "HexFormat.h"
#include "NumberText.h"
#include "PartFileWriter.h"
#include "Transcript.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace
{
constexpr std::size_t pieceSize = 1024 * 1024;

// Hands the bytes [offset, offset + length) to consume a piece at a time.
// Bytes dropped meanwhile (the transcript keeps only its newest) are left out.
template <typename Consume>
bool forEachPiece(const Transcript& transcript, std::uint64_t offset, std::uint64_t length, std::string& error,
                  Consume consume)
{
    std::string piece;
    const std::uint64_t end = offset + length;
    while (offset < end) {
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(end - offset, pieceSize));
        if (transcript.read(offset, wanted, piece) != wanted) {
            const std::uint64_t firstKept = transcript.firstKept();
            if (offset >= firstKept) {
                error = std::generic_category().message(EIO);
                return false;
            }
            offset = std::min(end, firstKept);
            continue;
        }
        if (!consume(piece))
            return false;
        offset += wanted;
    }
    return true;
}

bool finish(PartFileWriter& file, bool written, std::string& error)
{
    if (written && file.commit())
        return true;
    if (error.empty())
        error = file.error();
    return false;
}

// Each byte as the character it stands for (Latin-1), written as UTF-8: what
// editors expect. Escaped text holds no bytes from 0x80 to 0x9F.
void latin1ToUtf8(const std::string& latin1, std::string& utf8)
{
    utf8.clear();
    for (const char byte : latin1) {
        const auto value = static_cast<unsigned char>(byte);
        if (value < 0x80) {
            utf8 += byte;
        } else {
            utf8 += static_cast<char>(0xc0 | (value >> 6));
            utf8 += static_cast<char>(0x80 | (value & 0x3f));
        }
    }
}

// The events recorded after `chunks` chunks, one line each.
bool writeEvents(PartFileWriter& file, const Transcript& transcript, std::size_t& next, std::size_t chunks)
{
    for (const std::size_t count = transcript.eventCount(); next < count; ++next) {
        const TranscriptEvent event = transcript.event(next);
        if (event.chunksBefore > chunks)
            break;
        if (!event.text.empty() && !file.write("--- " + event.text + "\n"))
            return false;
    }
    return true;
}

bool writeDropped(PartFileWriter& file, const KeptStart& kept)
{
    const std::uint64_t received = kept.dropped.bytes[static_cast<int>(Direction::Received)];
    const std::uint64_t sent = kept.dropped.bytes[static_cast<int>(Direction::Sent)];
    if (received + sent == 0)
        return true;
    return file.write("--- " + groupedNumber(received + sent) + " older bytes were dropped (" + groupedNumber(received)
                      + " received, " + groupedNumber(sent) + " sent): this connection keeps only its newest bytes\n");
}

std::string headerOf(const Chunk& chunk, const Chunk* previous)
{
    std::string header = chunk.direction == Direction::Received ? "--- received " : "--- sent ";
    header += std::to_string(chunk.length);
    header += chunk.length == 1 ? " byte at " : " bytes at ";
    header += formatTimestamp(chunk.timeUs);
    if (previous) {
        header += " (";
        header += formatGap(chunk.timeUs - previous->timeUs);
        header += ')';
    }
    header += '\n';
    return header;
}
}

bool saveReceivedBytes(const Transcript& transcript, const std::string& path, std::string& error)
{
    error.clear();
    PartFileWriter file(path);
    if (!file.open()) {
        error = file.error();
        return false;
    }
    const auto writePiece = [&file](const std::string& piece) { return file.write(piece); };
    const std::size_t count = transcript.chunkCount();
    bool written = true;
    for (std::size_t at = transcript.firstChunk(); at < count && written;) {
        const Chunk first = transcript.chunk(at++);
        if (first.direction != Direction::Received)
            continue;
        // Received chunks in a row are one range of the transcript.
        std::uint64_t end = first.offset + first.length;
        for (; at < count; ++at) {
            const Chunk next = transcript.chunk(at);
            if (next.direction != Direction::Received)
                break;
            end = next.offset + next.length;
        }
        written = forEachPiece(transcript, first.offset, end - first.offset, error, writePiece);
    }
    return finish(file, written, error);
}

bool saveAsText(const Transcript& transcript, const std::string& path, std::string& error)
{
    error.clear();
    PartFileWriter file(path);
    if (!file.open()) {
        error = file.error();
        return false;
    }
    std::string text;
    std::string utf8;
    bool atLineStart = true;
    const auto writeEscaped = [&](const std::string& piece) {
        text.clear();
        appendEscapedLines(text, piece.data(), piece.size());
        latin1ToUtf8(text, utf8);
        atLineStart = piece.back() == '\n';
        return file.write(utf8);
    };
    const KeptStart kept = transcript.keptStart();
    const std::size_t count = transcript.chunkCount();
    std::size_t nextEvent = 0;
    bool written = writeDropped(file, kept) && writeEvents(file, transcript, nextEvent, kept.firstChunk);
    Chunk previous{};
    for (std::size_t at = kept.firstChunk; at < count && written; ++at) {
        const Chunk chunk = transcript.chunk(at);
        written = file.write(headerOf(chunk, at > kept.firstChunk ? &previous : nullptr))
                  && forEachPiece(transcript, chunk.offset, chunk.length, error, writeEscaped)
                  && (atLineStart || file.write("\n", 1))
                  && writeEvents(file, transcript, nextEvent, at + 1);
        previous = chunk;
    }
    return finish(file, written, error);
}
