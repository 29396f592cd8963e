#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class RemoteLocalDataViewer;
class Transcript;

// Feeds the text view from the transcript, from where it stopped, for as long
// as a time slice allows. When it is so far behind that catching up would take
// long, it jumps to the newest data and leaves a marker saying how much it did
// not draw; while it stays behind, that one marker keeps count.
class ConversationFeed
{
public:
    // Behind by more than this, the feed jumps ahead.
    static constexpr std::uint64_t defaultSkipThreshold = 1024 * 1024;
    // How much of the newest data it draws after a jump: about a screen
    // full. Each jump lays this out anew, on the GUI thread that shares the
    // machine with the threads reading, so it is kept small.
    static constexpr std::uint64_t tailLength = 4 * 1024;

    ConversationFeed(std::shared_ptr<Transcript> transcript, RemoteLocalDataViewer* viewer);
    ~ConversationFeed();
    ConversationFeed(const ConversationFeed&) = delete;
    ConversationFeed& operator=(const ConversationFeed&) = delete;

    // Draws for up to sliceMs; returns true when everything is drawn. A slice
    // that jumps ahead ends once it has drawn the newest data as it was then.
    bool drawFor(int sliceMs);
    // Whether the last slice jumped ahead: the data comes faster than it can
    // be drawn, and drawing more often would only show more of what is skipped.
    bool jumpedInLastSlice() const { return lastSliceJumped; }
    // Draws the view anew from the newest data, as after a change of style.
    void redraw();
    bool isCaughtUp() const;

    static constexpr std::size_t beforeFirstChunk = static_cast<std::size_t>(-1);
    // A note shown after a chunk (a reply that did not go out, an event), or
    // before every chunk, now and when the view is drawn anew.
    void addChunkNote(std::size_t chunkIndex, const QString& note);

    void setSkipThreshold(std::uint64_t bytes) { skipThreshold = bytes; }
    std::uint64_t getSkippedBytes() const { return skippedInAll; }

private:
    static std::vector<const ConversationFeed*>& feedsBehind();
    static int drawingFeeds();
    void setBehind(bool now);
    void skipTo(std::uint64_t offset);
    // Returns the bytes it drew.
    std::size_t drawPiece();
    void finishChunk();
    void appendNoteNow(const QString& note);

    std::shared_ptr<Transcript> transcript;
    RemoteLocalDataViewer* viewer;
    std::uint64_t skipThreshold = defaultSkipThreshold;
    // Counted among the feeds that are behind (GUI thread only).
    bool behind = false;
    bool lastSliceJumped = false;
    qint64 lastDrawMs = 0;
    std::size_t piece = 0;

    // Where drawing goes on: the chunk and how far into it.
    std::size_t chunkIndex = 0;
    std::uint64_t offsetInChunk = 0;
    std::int64_t previousTimeUs = -1;

    // The last jump's marker, while nothing after it was drawn to the end.
    bool markerOpen = false;
    std::uint64_t markerSkipped = 0;
    std::uint64_t drawnSinceMarker = 0;
    std::uint64_t skippedInAll = 0;

    QMap<std::size_t, QStringList> chunkNotes;
    QStringList leadingNotes;
    QStringList lateNotes;
    std::string buffer;
};
