#include "RemoteLocalDataViewer.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

namespace
{
// What a piece looks like on screen. A CR LF pair is one line break (a lone
// CR or LF is one too), and a zero byte is shown as the visible symbol for
// NUL instead of vanishing.
QString displayText(QStringView piece)
{
    QString text = piece.toString();
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QChar(0), QChar(0x2400));
    return text;
}

// Never cut between the CR and the LF of a pair.
qsizetype pieceLength(QStringView text)
{
    qsizetype length = qMin(text.size(), RemoteLocalDataViewer::maxPieceLength);
    if (length < text.size() && length > 1 && text[length - 1] == QLatin1Char('\r')
        && text[length] == QLatin1Char('\n'))
        --length;
    return length;
}
}

RemoteLocalDataViewer::RemoteLocalDataViewer(QWidget* parent)
    : QTextEdit(parent)
{
    remoteFormat.setBackground(QBrush(Qt::darkYellow, Qt::SolidPattern));
    localFormat.setBackground(QBrush(Qt::darkGray, Qt::SolidPattern));
    // The conversation can grow to a hundred megabytes; an undo history of
    // every insertion would double that.
    setUndoRedoEnabled(false);
    // Unwrapped, every paragraph is one line, so the conversation's height
    // follows from its line count and stays under the height limit (see the
    // header); long lines scroll sideways instead. A wrapped paragraph can
    // also grow by any number of lines at once, and in a narrow window a
    // flood once hung Qt's layout a few megabytes in.
    setLineWrapMode(QTextEdit::NoWrap);
}

void RemoteLocalDataViewer::appendRemoteData(const QString& text)
{
    appendWhole(text, remoteFormat);
}

void RemoteLocalDataViewer::appendLocalData(const QString& text)
{
    appendWhole(text, localFormat);
}

void RemoteLocalDataViewer::appendWhole(const QString& text, const QTextCharFormat& format)
{
    QStringView rest(text);
    bool first = true;
    do {
        rest = rest.mid(appendPiece(rest, first, format));
        first = false;
    } while (!rest.isEmpty());
}

qsizetype RemoteLocalDataViewer::appendPiece(QStringView text, bool startsParagraph, const QTextCharFormat& format)
{
    QScrollBar* scrollBar = verticalScrollBar();
    const bool followEnd = scrollBar->value() >= scrollBar->maximum();

    const qsizetype length = pieceLength(text);
    makeRoomFor(text.first(length), startsParagraph);
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    if (startsParagraph && !document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(displayText(text.first(length)), format);

    if (followEnd)
        scrollBar->setValue(scrollBar->maximum());
    return length;
}

int RemoteLocalDataViewer::getMaxLines() const
{
    return maxHeight / qMax(1, fontMetrics().lineSpacing());
}

// Removing lines at the top lays the whole conversation out again, so they go
// many at a time rather than a few with every insertion. Counted before the
// piece goes in: a piece of 64 K line breaks alone adds almost a million pixels.
void RemoteLocalDataViewer::makeRoomFor(QStringView piece, bool startsParagraph)
{
    QTextDocument* conversation = document();
    const qsizetype lines = conversation->blockCount() + (startsParagraph ? 1 : 0)
        + piece.count(QLatin1Char('\n')) + piece.count(QLatin1Char('\r'));
    const int maxLines = getMaxLines();
    if (lines <= maxLines)
        return;
    const int linesKept = qMin(maxLines * 2 / 3, conversation->blockCount());
    // One jump to the first line kept: moving there block by block works out
    // the cursor's x in every line passed, shaping each line's text anew.
    QTextCursor cursor(conversation);
    cursor.setPosition(conversation->findBlockByNumber(conversation->blockCount() - linesKept).position(),
                       QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}
