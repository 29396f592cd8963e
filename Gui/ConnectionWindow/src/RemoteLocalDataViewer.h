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
    // Qt's text layout keeps positions in 26.6 fixed point, which overflows
    // past about 33.5 million pixels. The conversation stays below this
    // height: once its lines would reach further, the oldest third of them
    // goes in one batch. That is over a million lines, about 100 MB of
    // 80-column text, and a batch holds the GUI thread for about a second.
    static constexpr int defaultMaxHeight = 24000000;

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
    void dropOldestLines();
    void appendWhole(const QString& text, const QTextCharFormat& format);

    QTextCharFormat remoteFormat;
    QTextCharFormat localFormat;
    int maxHeight = defaultMaxHeight;
};
