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
    void appendWhole(const QString& text, const QTextCharFormat& format);

    QTextCharFormat remoteFormat;
    QTextCharFormat localFormat;
};
