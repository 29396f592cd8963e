#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class RemoteLocalDataViewer;
class Transcript;
struct TranscriptEvent;

// Feeds the text view from the transcript, from where it stopped, for as long
// as a time slice allows: the chunks, and after each one the events recorded
// after it. When it is so far behind that catching up would take long, it
// jumps to the newest data and leaves a marker saying how much it did not
// draw; while it stays behind, that one marker keeps count. Bytes that the
// transcript dropped (it keeps only its newest) before they were drawn are
// skipped with a marker that counts what was dropped.
class ConversationFeed
{
public:
    // Behind by more than this, the feed jumps ahead.
    static constexpr std::uint64_t defaultSkipThreshold = 1024 * 1024;
    // How much of the newest data it draws after a jump: about a screen
    // full. Each jump lays this out anew, on the GUI thread that shares the
    // machine with the threads reading, so it is kept small.
    static constexpr std::uint64_t tailLength = 4 * 1024;

    ConversationFeed(std::shared_ptr<const Transcript> transcript, RemoteLocalDataViewer* viewer);
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

    void setSkipThreshold(std::uint64_t bytes) { skipThreshold = bytes; }
    std::uint64_t getSkippedBytes() const { return skippedInAll; }

private:
    void skipTo(std::uint64_t offset);
    void skipDropped();
    // Goes on drawing at offset, within its chunk if need be.
    void landAt(std::uint64_t offset);
    // The offset of the next byte to draw.
    std::uint64_t position() const;
    // Returns the bytes it drew.
    std::size_t drawPiece();
    void finishChunk();
    // Draws the events that come before the next chunk; an event recorded
    // later is drawn once the feed is past its place.
    void drawEvents();
    void drawEvent(const TranscriptEvent& event);

    std::shared_ptr<const Transcript> transcript;
    RemoteLocalDataViewer* viewer;
    std::uint64_t skipThreshold = defaultSkipThreshold;
    bool lastSliceJumped = false;
    std::size_t piece = 0;

    // Where drawing goes on: the chunk and how far into it, counted from
    // where the chunk started when the feed began drawing it (its start may
    // be dropped since).
    std::size_t chunkIndex = 0;
    std::uint64_t chunkStart = 0;
    std::uint64_t offsetInChunk = 0;
    std::int64_t previousTimeUs = -1;
    // The next event to draw.
    std::size_t eventIndex = 0;

    // The last jump's marker, while nothing after it was drawn to the end.
    bool markerOpen = false;
    std::uint64_t markerSkipped = 0;
    std::uint64_t drawnSinceMarker = 0;
    std::uint64_t skippedInAll = 0;
    std::string buffer;
};
