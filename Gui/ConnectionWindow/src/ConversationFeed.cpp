#include "ConversationFeed.h"

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

// A feed that has not drawn for this long (its window shows the hex view)
// no longer counts as drawing.
constexpr qint64 drawingLapseMs = 100;

qint64 monotonicMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

QString markerText(std::uint64_t skipped)
{
    return QStringLiteral("[%1 bytes arrived faster than they could be drawn and are not shown here; "
                          "the hex view shows them, and Save Conversation... keeps every byte.]")
        .arg(QLocale::c().toString(static_cast<qulonglong>(skipped)));
}
}

ConversationFeed::ConversationFeed(std::shared_ptr<Transcript> transcript, RemoteLocalDataViewer* viewer)
    : transcript(std::move(transcript))
    , viewer(viewer)
{
}

ConversationFeed::~ConversationFeed()
{
    setBehind(false);
}

// Feeds of all windows that are behind and drawing: the GUI thread's drawing
// time per round of slices is shared among them rather than multiplied.
std::vector<const ConversationFeed*>& ConversationFeed::feedsBehind()
{
    static std::vector<const ConversationFeed*> feeds;
    return feeds;
}

void ConversationFeed::setBehind(bool now)
{
    std::vector<const ConversationFeed*>& feeds = feedsBehind();
    if (now && !behind)
        feeds.push_back(this);
    else if (!now && behind)
        feeds.erase(std::find(feeds.begin(), feeds.end(), this));
    behind = now;
    lastDrawMs = monotonicMs();
}

int ConversationFeed::drawingFeeds()
{
    const qint64 now = monotonicMs();
    return static_cast<int>(std::count_if(feedsBehind().begin(), feedsBehind().end(),
                                          [now](const ConversationFeed* feed) { return now - feed->lastDrawMs < drawingLapseMs; }));
}

bool ConversationFeed::isCaughtUp() const
{
    return chunkIndex >= transcript->chunkCount();
}

// Laying out what was inserted costs more than inserting it, and happens when
// a batch ends: the batch is closed every piece, so that the slice's clock
// sees the layout too. Small chunks still share one batch. A jump ahead
// happens at most once a slice: at line rate the transcript outgrows the
// threshold again while the tail is drawn, so the slice ends with the tail.
// While several windows are behind, each gets its share of the slice.
bool ConversationFeed::drawFor(int sliceMs)
{
    QElapsedTimer slice;
    slice.start();
    setBehind(!isCaughtUp());
    sliceMs = std::max(1, sliceMs / std::max(1, drawingFeeds()));
    piece = sliceMs < shortSliceMs ? shortPieceLength : pieceLength;
    bool jumped = false;
    std::uint64_t tailEnd = 0;
    std::size_t batched = 0;
    viewer->beginBatch();
    while (!isCaughtUp() && slice.elapsed() < sliceMs) {
        const Chunk current = transcript->chunk(chunkIndex);
        const std::uint64_t drawnTo = current.offset + offsetInChunk;
        const std::uint64_t size = transcript->size();
        if (jumped && drawnTo >= tailEnd)
            break;
        if (!jumped && size - drawnTo > skipThreshold) {
            skipTo(size - tailLength);
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
    viewer->endBatch();
    lastSliceJumped = jumped;
    setBehind(!isCaughtUp());
    if (isCaughtUp())
        markerOpen = false;
    return isCaughtUp();
}

// One marker per stretch of being behind: a jump while the text drawn after
// the last marker has not caught up yet replaces that text.
void ConversationFeed::skipTo(std::uint64_t offset)
{
    const Chunk current = transcript->chunk(chunkIndex);
    std::uint64_t skipped = offset - (current.offset + offsetInChunk);
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
    chunkIndex = transcript->chunkAt(offset);
    offsetInChunk = offset - transcript->chunk(chunkIndex).offset;
    previousTimeUs = -1;
    if (offsetInChunk > 0) {
        const Chunk landed = transcript->chunk(chunkIndex);
        viewer->beginChunk(landed.direction, landed.timeUs, -1);
    }
}

std::size_t ConversationFeed::drawPiece()
{
    const Chunk current = transcript->chunk(chunkIndex);
    if (offsetInChunk == 0) {
        viewer->beginChunk(current.direction, current.timeUs,
                           previousTimeUs < 0 ? -1 : current.timeUs - previousTimeUs);
        previousTimeUs = current.timeUs;
    }
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(current.length - offsetInChunk, piece));
    transcript->read(current.offset + offsetInChunk, length, buffer);
    viewer->appendBytes(buffer.data(), buffer.size());
    offsetInChunk += buffer.size();
    drawnSinceMarker += buffer.size();
    if (offsetInChunk >= current.length || buffer.empty())
        finishChunk();
    return buffer.size();
}

void ConversationFeed::finishChunk()
{
    viewer->endChunk();
    const auto notes = chunkNotes.constFind(chunkIndex);
    if (notes != chunkNotes.cend())
        for (const QString& note : *notes)
            viewer->appendNote(note);
    for (const QString& late : std::as_const(lateNotes))
        viewer->appendNote(late);
    lateNotes.clear();
    ++chunkIndex;
    offsetInChunk = 0;
}

void ConversationFeed::addChunkNote(std::size_t index, const QString& note)
{
    if (index == beforeFirstChunk) {
        leadingNotes.append(note);
        if (chunkIndex == 0 && offsetInChunk == 0)
            appendNoteNow(note);
        return;
    }
    chunkNotes[index].append(note);
    // Shown at once when its chunk is drawn already, or after the chunk being
    // drawn; otherwise with its chunk.
    if (index < chunkIndex && offsetInChunk > 0) {
        lateNotes.append(note);
    } else if (index < chunkIndex) {
        appendNoteNow(note);
    }
}

void ConversationFeed::appendNoteNow(const QString& note)
{
    viewer->beginBatch();
    viewer->appendNote(note);
    viewer->endBatch();
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
    if (size <= tailLength) {
        for (const QString& note : std::as_const(leadingNotes))
            appendNoteNow(note);
    } else {
        viewer->beginBatch();
        const std::uint64_t from = size - tailLength;
        chunkIndex = transcript->chunkAt(from);
        if (chunkIndex > 0 || transcript->chunk(chunkIndex).offset < from) {
            viewer->appendNote(QStringLiteral("[Earlier bytes are not drawn here; the hex view shows them, "
                                              "and Save Conversation... keeps every byte.]"));
            offsetInChunk = from - transcript->chunk(chunkIndex).offset;
            if (offsetInChunk > 0) {
                const Chunk landed = transcript->chunk(chunkIndex);
                viewer->beginChunk(landed.direction, landed.timeUs, -1);
            }
        }
        viewer->endBatch();
    }
}
