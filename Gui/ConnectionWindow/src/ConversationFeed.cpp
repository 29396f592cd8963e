#include "ConversationFeed.h"

#include "NumberText.h"
#include "RemoteLocalDataViewer.h"
#include "Transcript.h"

#include <QElapsedTimer>
#include <QLocale>

#include <algorithm>
#include <vector>

namespace
{
// One insertion at most; a slice is made of several. A short slice takes
// short pieces, so that it ends near its time.
constexpr std::size_t pieceLength = 16 * 1024;
constexpr std::size_t shortPieceLength = 1024;
constexpr int shortSliceMs = 6;

QString markerText(std::uint64_t skipped)
{
    return QStringLiteral("[%1 bytes arrived faster than they could be drawn and are not shown here; "
                          "the hex view shows them, and Save Conversation... keeps every byte.]")
        .arg(QLocale::c().toString(static_cast<qulonglong>(skipped)));
}

QString droppedText(std::uint64_t dropped)
{
    return QStringLiteral("[%1 older bytes were dropped: this connection keeps only its newest bytes]")
        .arg(QString::fromStdString(groupedNumber(dropped)));
}
}

ConversationFeed::ConversationFeed(std::shared_ptr<const Transcript> transcript, RemoteLocalDataViewer* viewer)
    : transcript(std::move(transcript))
    , viewer(viewer)
{
}

bool ConversationFeed::isCaughtUp() const
{
    return chunkIndex >= transcript->chunkCount() && eventIndex >= transcript->eventCount();
}

// Laying out what was inserted costs more than inserting it, and happens when
// a batch ends: the batch is closed every piece, so that the slice's clock
// sees the layout too. Small chunks still share one batch. A jump ahead
// happens at most once a slice: at line rate the transcript outgrows the
// threshold again while the tail is drawn, so the slice ends with the tail.
bool ConversationFeed::drawFor(int sliceMs)
{
    QElapsedTimer slice;
    slice.start();
    piece = sliceMs < shortSliceMs ? shortPieceLength : pieceLength;
    bool jumped = false;
    std::uint64_t tailEnd = 0;
    std::size_t batched = 0;
    viewer->beginBatch();
    drawEvents();
    while (chunkIndex < transcript->chunkCount() && slice.elapsed() < sliceMs) {
        const std::uint64_t drawnTo = position();
        const std::uint64_t size = transcript->size();
        if (jumped && drawnTo >= tailEnd)
            break;
        if (drawnTo < transcript->firstKept()) {
            skipDropped();
        } else if (!jumped && size - drawnTo > skipThreshold) {
            skipTo(std::max(size - tailLength, transcript->firstKept()));
            jumped = true;
            tailEnd = size;
            batched = piece;
        } else {
            batched += drawPiece();
        }
        if (batched >= piece) {
            viewer->endBatch();
            viewer->beginBatch();
            batched = 0;
        }
    }
    drawEvents();
    viewer->endBatch();
    lastSliceJumped = jumped;
    if (isCaughtUp())
        markerOpen = false;
    return isCaughtUp();
}

// One marker per stretch of being behind: a jump while the text drawn after
// the last marker has not caught up yet replaces that text.
void ConversationFeed::skipTo(std::uint64_t offset)
{
    std::uint64_t skipped = offset - std::min(offset, position());
    if (markerOpen) {
        skipped += drawnSinceMarker;
        markerSkipped += skipped;
        viewer->rewriteLastNote(markerText(markerSkipped));
    } else {
        markerSkipped = skipped;
        viewer->appendNote(markerText(markerSkipped));
        markerOpen = true;
    }
    skippedInAll += skipped;
    drawnSinceMarker = 0;
    landAt(offset);
    eventIndex = std::max(eventIndex, transcript->firstEventAfter(chunkIndex + (offsetInChunk > 0 ? 1 : 0)));
}

void ConversationFeed::landAt(std::uint64_t offset)
{
    chunkIndex = transcript->chunkAt(offset);
    const Chunk landed = transcript->chunk(chunkIndex);
    chunkStart = landed.offset;
    offsetInChunk = offset - std::min(offset, landed.offset);
    previousTimeUs = -1;
    if (offsetInChunk > 0)
        viewer->beginChunk(landed.direction, landed.timeUs, -1);
}

// The transcript keeps only its newest bytes, and dropped some the feed had
// not drawn yet. The events in between are drawn where it lands.
void ConversationFeed::skipDropped()
{
    const std::uint64_t kept = transcript->firstKept();
    if (offsetInChunk > 0)
        viewer->endChunk();
    viewer->appendNote(droppedText(kept));
    markerOpen = false;
    landAt(kept);
}

// A chunk dropped whole lies before every byte kept.
std::uint64_t ConversationFeed::position() const
{
    if (offsetInChunk > 0)
        return chunkStart + offsetInChunk;
    return chunkIndex < transcript->firstChunk() ? 0 : transcript->chunk(chunkIndex).offset;
}

std::size_t ConversationFeed::drawPiece()
{
    const Chunk current = transcript->chunk(chunkIndex);
    if (offsetInChunk == 0) {
        viewer->beginChunk(current.direction, current.timeUs,
                           previousTimeUs < 0 ? -1 : current.timeUs - previousTimeUs);
        previousTimeUs = current.timeUs;
        chunkStart = current.offset;
    }
    // The chunk's start may be dropped meanwhile, never its end.
    const std::uint64_t end = current.offset + current.length;
    const std::uint64_t from = chunkStart + offsetInChunk;
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(end - std::min(end, from), piece));
    transcript->read(from, length, buffer);
    viewer->appendBytes(buffer.data(), buffer.size());
    offsetInChunk += buffer.size();
    drawnSinceMarker += buffer.size();
    if (from + buffer.size() >= end || buffer.empty())
        finishChunk();
    return buffer.size();
}

void ConversationFeed::finishChunk()
{
    viewer->endChunk();
    ++chunkIndex;
    offsetInChunk = 0;
    drawEvents();
}

void ConversationFeed::drawEvents()
{
    if (offsetInChunk > 0)
        return;
    for (const std::size_t count = transcript->eventCount(); eventIndex < count; ++eventIndex) {
        const TranscriptEvent event = transcript->event(eventIndex);
        if (event.chunksBefore > chunkIndex)
            return;
        drawEvent(event);
    }
}

void ConversationFeed::drawEvent(const TranscriptEvent& event)
{
    if (event.text.empty())
        return;
    if (event.kind == EventKind::ReplyNotSent)
        viewer->appendUnsentReply(event.bytes.data(), event.bytes.size());
    viewer->appendNote(QString::fromStdString(event.text));
    markerOpen = false;
}

void ConversationFeed::redraw()
{
    viewer->clearConversation();
    markerOpen = false;
    drawnSinceMarker = 0;
    previousTimeUs = -1;
    const std::uint64_t size = transcript->size();
    chunkIndex = 0;
    offsetInChunk = 0;
    eventIndex = 0;
    const std::uint64_t kept = transcript->firstKept();
    if (kept > 0 && size - kept <= tailLength) {
        viewer->beginBatch();
        viewer->appendNote(droppedText(kept));
        landAt(kept);
        viewer->endBatch();
    } else if (size > tailLength) {
        viewer->beginBatch();
        const std::uint64_t from = size - tailLength;
        chunkIndex = transcript->chunkAt(from);
        if (chunkIndex > 0 || transcript->chunk(chunkIndex).offset < from) {
            viewer->appendNote(QStringLiteral("[Earlier bytes are not drawn here; the hex view shows them, "
                                              "and Save Conversation... keeps every byte.]"));
            landAt(from);
            eventIndex = transcript->firstEventAfter(chunkIndex + (offsetInChunk > 0 ? 1 : 0));
        }
        viewer->endBatch();
    }
}
