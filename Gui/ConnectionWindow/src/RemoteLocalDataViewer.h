#pragma once

#include "Transcript.h"

#include <QString>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextEdit>

#include <cstdint>

class PaintPacer;
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
    // added between begin and end, paced by a PaintPacer.
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
    QuietScrollBar* scrollBar;
    PaintPacer* pacer;
};
