#pragma once

#include <QStringView>
#include <QTextCharFormat>
#include <QTextEdit>

// The conversation: data from the client on dark yellow, data sent to it on
// dark gray, each piece of data a paragraph of its own, shown as plain text.
class RemoteLocalDataViewer : public QTextEdit
{
public:
    // Inserting much more at once makes a tall document stall the GUI thread.
    static constexpr qsizetype maxPieceLength = 64 * 1024;
    // Qt 6.4's QTextEdit stops returning once its document grows past about
    // 21 million pixels (measured: 80-column lines, 14 pixels each). The
    // conversation stays below this height: before a piece would take it
    // further, the oldest third of its lines goes in one batch. That is
    // 1.28 million lines at 14 pixels, about 100 MB of 80-column text, and a
    // batch holds the GUI thread for about a second.
    static constexpr int defaultMaxHeight = 18000000;

    explicit RemoteLocalDataViewer(QWidget* parent = nullptr);

    void appendRemoteData(const QString& text);
    void appendLocalData(const QString& text);

    // Adds one piece of a text: the first piece starts a new paragraph, the
    // following ones continue it. Returns the length of the piece taken from
    // the front of text, at most maxPieceLength.
    qsizetype appendPiece(QStringView text, bool startsParagraph, const QTextCharFormat& format);

    const QTextCharFormat& getRemoteFormat() const { return remoteFormat; }
    const QTextCharFormat& getLocalFormat() const { return localFormat; }

    // The height limit in pixels, and the lines it allows at the current font.
    void setMaxHeight(int pixels) { maxHeight = pixels; }
    int getMaxLines() const;

private:
    void makeRoomFor(QStringView piece, bool startsParagraph);
    void appendWhole(const QString& text, const QTextCharFormat& format);

    QTextCharFormat remoteFormat;
    QTextCharFormat localFormat;
    int maxHeight = defaultMaxHeight;
};
