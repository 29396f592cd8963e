#include "RemoteLocalDataViewer.h"

#include "HexFormat.h"
#include "Log.h"
#include "PaintPacer.h"
#include "QuietScrollBar.h"

#include <QKeyEvent>
#include <QScrollBar>
#include <QStyle>
#include <QTextBlock>
#include <QTextDocument>

#include <algorithm>
#include <cstdlib>

namespace
{
bool isControlByte(unsigned char byte)
{
    return byte < 0x20 || (byte >= 0x7f && byte <= 0x9f);
}

QString escapeFor(unsigned char byte)
{
    switch (byte) {
    case '\r':
        return QStringLiteral("\\r");
    case '\n':
        return QStringLiteral("\\n");
    case '\t':
        return QStringLiteral("\\t");
    default:
        return QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
}

QString timePrefix(std::int64_t timeUs, std::int64_t gapUs)
{
    QString prefix = QString::fromStdString(formatClock(timeUs));
    if (gapUs >= 0)
        prefix += QLatin1Char(' ') + QString::fromStdString(formatGap(gapUs));
    return prefix + QLatin1Char(' ');
}
}

RemoteLocalDataViewer::RemoteLocalDataViewer(QWidget* parent)
    : QTextEdit(parent)
    , cursor(document())
{
    formats[0].setBackground(QBrush(Qt::darkYellow, Qt::SolidPattern));
    formats[1].setBackground(QBrush(Qt::darkGray, Qt::SolidPattern));
    for (int i = 0; i < 2; ++i) {
        escapeFormats[i] = formats[i];
        escapeFormats[i].setForeground(QBrush(Qt::darkBlue));
        escapeFormats[i].setFontWeight(QFont::Bold);
    }
    timeFormat.setForeground(QBrush(Qt::darkGray));
    noteFormat.setForeground(QBrush(Qt::darkRed));
    noteFormat.setFontItalic(true);
    unsentFormat = formats[1];
    unsentFormat.setFontStrikeOut(true);
    // Latin-1 text needs no shaping (the largest single part of laying out
    // each new line), and a protocol's bytes are better shown without
    // ligatures or kerning anyway. Nor does it need its direction guessed:
    // Latin-1 has no right-to-left letters.
    QFont plain = font();
    plain.setStyleStrategy(QFont::PreferNoShaping);
    setFont(plain);
    QTextOption option = document()->defaultTextOption();
    option.setTextDirection(Qt::LeftToRight);
    document()->setDefaultTextOption(option);
    // The transcript is the record; an undo history would only double the memory.
    setUndoRedoEnabled(false);
    setReadOnly(true);
    setLineWrapMode(QTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);

    scrollBar = new QuietScrollBar(Qt::Vertical, this);
    setVerticalScrollBar(scrollBar);
    // Follows the newest line while the user is at the bottom, as a terminal
    // does; the range grows as the layout catches up, which may be later than
    // the insertion that caused it.
    connect(scrollBar, &QScrollBar::rangeChanged, this, [this](int, int maximum) {
        if (followEnd)
            scrollBar->setValue(maximum);
    });
    connect(scrollBar, &QScrollBar::valueChanged, this,
            [this](int value) { followEnd = value >= scrollBar->maximum(); });

    // The scroll bar changes with every frame while the view follows the end.
    // Fusion paints every pixel of it, so that the widgets under it need not
    // be painted first; other styles may leave some to them.
    if (scrollBar->style()->name().compare(QLatin1String("fusion"), Qt::CaseInsensitive) == 0)
        scrollBar->setAttribute(Qt::WA_OpaquePaintEvent);
    // The scroll bar sits in a container of the scroll area's own, which
    // draws nothing: left see-through, every frame drew the window, the
    // splitter and the group box under it too.
    if (QWidget* container = scrollBar->parentWidget(); container && container != this)
        container->setAutoFillBackground(true);
    pacer = new PaintPacer(this, scrollBar);
}

void RemoteLocalDataViewer::clearConversation()
{
    clear();
    cursor = QTextCursor(document());
    chunkOpen = false;
    pendingCr = false;
    paragraphLength = 0;
    lastNotePosition = -1;
    followEnd = true;
}

void RemoteLocalDataViewer::beginBatch()
{
    if (batchDepth++ > 0)
        return;
    pacer->batchOpened();
    cursor.beginEditBlock();
}

void RemoteLocalDataViewer::endBatch()
{
    if (--batchDepth > 0)
        return;
    cursor.endEditBlock();
    if (document()->characterCount() > maxCharacters)
        dropOldest();
    pacer->batchClosed();
}

void RemoteLocalDataViewer::beginChunk(Direction direction, std::int64_t timeUs, std::int64_t gapUs)
{
    if (chunkOpen)
        endChunk();
    chunkDirection = direction;
    chunkOpen = true;
    startParagraph();
    paragraphLength = 0;
    if (showTimes)
        insertRun(timePrefix(timeUs, gapUs), timeFormat);
}

void RemoteLocalDataViewer::appendBytes(const char* data, std::size_t size)
{
    if (style == Style::Text)
        appendPlain(data, size);
    else
        appendEscapes(data, size);
}

void RemoteLocalDataViewer::endChunk()
{
    if (pendingCr) {
        pendingCr = false;
        insertBreak();
    }
    chunkOpen = false;
}

// Runs of ordinary characters go in whole; line breaks and the paragraph
// limit split them.
void RemoteLocalDataViewer::appendPlain(const char* data, std::size_t size)
{
    const QTextCharFormat& format = formats[static_cast<int>(chunkDirection)];
    QString run;
    auto flush = [&] {
        if (!run.isEmpty())
            insertRun(run, format);
        run.clear();
    };
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char byte = static_cast<unsigned char>(data[i]);
        if (pendingCr) {
            pendingCr = false;
            flush();
            insertBreak();
            if (byte == '\n')
                continue;
        }
        if (byte == '\r') {
            pendingCr = true;
            continue;
        }
        if (byte == '\n') {
            flush();
            insertBreak();
            continue;
        }
        if (byte == 0) {
            flush();
            insertRun(QStringLiteral("\\0"), escapeFormats[static_cast<int>(chunkDirection)]);
            continue;
        }
        if (paragraphLength + run.size() >= maxParagraphLength) {
            flush();
            insertBreak();
        }
        run += QChar(byte);
    }
    flush();
}

void RemoteLocalDataViewer::appendEscapes(const char* data, std::size_t size)
{
    const int direction = static_cast<int>(chunkDirection);
    QString run;
    auto flush = [&] {
        if (!run.isEmpty())
            insertRun(run, formats[direction]);
        run.clear();
    };
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char byte = static_cast<unsigned char>(data[i]);
        if (isControlByte(byte)) {
            flush();
            insertRun(escapeFor(byte), escapeFormats[direction]);
            if (byte == '\n')
                insertBreak();
            continue;
        }
        if (paragraphLength + run.size() >= maxParagraphLength) {
            flush();
            insertBreak();
        }
        run += QChar(byte);
    }
    flush();
}

void RemoteLocalDataViewer::insertRun(const QString& text, const QTextCharFormat& format)
{
    cursor.insertText(text, format);
    paragraphLength += static_cast<int>(text.size());
}

// Everything goes in at the end, where the cursor stays between insertions;
// moving it there anyway costs more than the check.
void RemoteLocalDataViewer::startParagraph()
{
    if (!cursor.atEnd())
        cursor.movePosition(QTextCursor::End);
    if (!document()->isEmpty())
        cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
}

void RemoteLocalDataViewer::insertBreak()
{
    cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    paragraphLength = 0;
}

void RemoteLocalDataViewer::appendNote(const QString& text)
{
    if (chunkOpen)
        endChunk();
    startParagraph();
    lastNotePosition = cursor.position();
    cursor.insertText(text, noteFormat);
    paragraphLength = 0;
}

void RemoteLocalDataViewer::appendUnsentReply(const char* data, std::size_t size)
{
    if (chunkOpen)
        endChunk();
    startParagraph();
    QString text = QString::fromLatin1(data, static_cast<qsizetype>(std::min<std::size_t>(size, maxParagraphLength)));
    for (QChar& character : text) {
        if (character.unicode() < 0x20 || character.unicode() == 0x7f)
            character = QChar(0xb7);
    }
    cursor.insertText(text, unsentFormat);
    paragraphLength = 0;
}

void RemoteLocalDataViewer::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Home || event->key() == Qt::Key_End) {
        followEnd = event->key() == Qt::Key_End;
        scrollBar->setValue(followEnd ? scrollBar->maximum() : scrollBar->minimum());
        event->accept();
        return;
    }
    QTextEdit::keyPressEvent(event);
}

void RemoteLocalDataViewer::rewriteLastNote(const QString& text)
{
    if (lastNotePosition < 0) {
        appendNote(text);
        return;
    }
    chunkOpen = false;
    pendingCr = false;
    cursor.setPosition(lastNotePosition);
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    cursor.insertText(text, noteFormat);
    paragraphLength = 0;
}

// The oldest third goes in one step: removing lines at the top lays out what
// follows again, so it is done seldom and in bulk.
void RemoteLocalDataViewer::dropOldest()
{
    QTextDocument* conversation = document();
    const int keepFrom = conversation->characterCount() / 3;
    const QTextBlock firstKept = conversation->findBlock(keepFrom).next();
    if (!firstKept.isValid())
        return;
    const int removed = firstKept.position();
    QTextCursor top(conversation);
    top.beginEditBlock();
    top.setPosition(removed, QTextCursor::KeepAnchor);
    top.removeSelectedText();
    top.insertText(QStringLiteral("[Older lines were dropped from this view; the hex view shows them, "
                                  "and Save Conversation... keeps every byte.]"),
                   noteFormat);
    top.insertBlock(QTextBlockFormat(), QTextCharFormat());
    top.endEditBlock();
    if (lastNotePosition >= 0)
        lastNotePosition = lastNotePosition >= removed ? lastNotePosition - removed + top.position() : -1;
    cursor.movePosition(QTextCursor::End);
    Log::line("conversation view dropped ", removed, " older characters");
}
