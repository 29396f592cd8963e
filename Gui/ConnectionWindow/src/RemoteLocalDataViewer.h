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
    // The most lines the conversation holds once a piece is in. With a whole
    // piece of empty lines more, and at 50 pixels a line, it stays below the
    // height at which Qt's text layout stops returning. Once there are more,
    // the oldest go, down to linesAfterDrop.
    static constexpr int maxLines = 100000;
    static constexpr int linesAfterDrop = 60000;

    explicit RemoteLocalDataViewer(QWidget* parent = nullptr);

    void appendRemoteData(const QString& text);
    void appendLocalData(const QString& text);

    // Adds one piece of a text: the first piece starts a new paragraph, the
    // following ones continue it. Returns the length of the piece taken from
    // the front of text, at most maxPieceLength.
    qsizetype appendPiece(QStringView text, bool startsParagraph, const QTextCharFormat& format);

    const QTextCharFormat& getRemoteFormat() const { return remoteFormat; }
    const QTextCharFormat& getLocalFormat() const { return localFormat; }

private:
    void dropOldestLines();
    void appendWhole(const QString& text, const QTextCharFormat& format);

    QTextCharFormat remoteFormat;
    QTextCharFormat localFormat;
};
