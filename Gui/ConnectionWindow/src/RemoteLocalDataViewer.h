#pragma once

#include "Transcript.h"

#include <QString>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QElapsedTimer>
#include <QTextEdit>
#include <QTimer>

#include <cstdint>

class QuietScrollBar;

// The conversation as text: data from the client on dark yellow, data sent to
// it on dark gray, each chunk a paragraph of its own, wrapped at the window's
// width. Either as plain text (a CR LF pair, a lone CR or LF is a line break,
// a zero byte shows as \0 in the colour of escapes, which every font can
// draw) or with every control byte written out as an escape in a colour of its
// own.
//
// It holds at most a bounded tail of the conversation: the transcript keeps
// every byte, and whatever this view drops or skips is marked where it was.
class RemoteLocalDataViewer : public QTextEdit
{
public:
    enum class Style { Text, ControlBytes };

    // No paragraph grows past this many characters: the rest of a longer line
    // continues in the next one, so laying out a paragraph stays cheap however
    // long the client's lines are. It looks like the wrap it is.
    static constexpr int maxParagraphLength = 2048;
    // When the view holds more characters than this, its oldest third goes.
    static constexpr int defaultMaxCharacters = 2 * 1024 * 1024;

    explicit RemoteLocalDataViewer(QWidget* parent = nullptr);

    void setStyle(Style newStyle) { style = newStyle; }
    void setShowTimes(bool show) { showTimes = show; }
    void setMaxCharacters(int characters) { maxCharacters = characters; }

    void clearConversation();

    // Drawing goes in batches: one layout and one repaint for everything
    // added between begin and end. The view is painted at most every
    // paintIntervalMs, however often batches come: a screen shows no more,
    // and a paint (the viewport, the scroll bar and what lies under it) costs
    // more than adding a few lines. While the text moves by more than
    // fastScrollLines (or a screen) a frame, half as often: nobody reads
    // that fast, as a terminal's jump scroll knows.
    static constexpr int paintIntervalMs = 16;
    static constexpr int fastScrollPaintIntervalMs = 33;
    static constexpr int fastScrollLines = 8;
    void beginBatch();
    void endBatch();

    // Starts the paragraph of a chunk; gapUs < 0 means it is the first one.
    void beginChunk(Direction direction, std::int64_t timeUs, std::int64_t gapUs);
    // Adds bytes to the chunk begun last.
    void appendBytes(const char* data, std::size_t size);
    // Ends the chunk: a CR it ended with is a line break of its own.
    void endChunk();
    // A paragraph of its own that is not data: a marker, an event.
    void appendNote(const QString& text);
    // Removes everything after the last note and rewrites it (or adds a note
    // if there is none).
    void rewriteLastNote(const QString& text);
    // A paragraph of its own: a reply that did not go out, struck through.
    void appendUnsentReply(const char* data, std::size_t size);

protected:
    // Home and End (with Ctrl or without) go to the start and the end.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void insertRun(const QString& text, const QTextCharFormat& format);
    void startParagraph();
    void insertBreak();
    void appendPlain(const char* data, std::size_t size);
    void appendEscapes(const char* data, std::size_t size);
    void dropOldest();
    void holdPaintsUntilNextFrame();
    void paintFrame();
    void startFrame();
    void setPaintsHeld(bool held);
    void holdScrollBarWhileBusy();

    Style style = Style::Text;
    bool showTimes = false;
    int maxCharacters = defaultMaxCharacters;

    QTextCharFormat formats[2];
    QTextCharFormat escapeFormats[2];
    QTextCharFormat timeFormat;
    QTextCharFormat noteFormat;
    QTextCharFormat unsentFormat;
    QTextCursor cursor;
    // The current chunk: its format, its paragraph's length so far, and a CR
    // that may be the first half of a CR LF pair cut by a piece boundary.
    Direction chunkDirection = Direction::Received;
    int paragraphLength = 0;
    bool pendingCr = false;
    bool chunkOpen = false;
    int lastNotePosition = -1;
    bool followEnd = true;
    int batchDepth = 0;
    // Between two paints the text's updates are off and its scroll bar is
    // held; letting go paints the text once, and the scroll bar if its look
    // changed. The next frame's interval follows how far the last one moved.
    QuietScrollBar* scrollBar;
    QTimer paintTimer;
    QElapsedTimer paintClock;
    int frameIntervalMs = paintIntervalMs;
    int lastFrameScrolledTo = 0;
};
