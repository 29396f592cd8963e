#include "HexView.h"

#include "HexFormat.h"
#include "NumberText.h"
#include "Transcript.h"

#include <QFontDatabase>
#include <QKeyEvent>
#include <QLocale>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>
#include <limits>
#include <string>

namespace
{
std::uint64_t dataRows(std::uint64_t length)
{
    return (length + HexView::bytesPerRow - 1) / HexView::bytesPerRow;
}

QColor background(Direction direction, bool header)
{
    QColor colour = direction == Direction::Received ? QColor(Qt::darkYellow) : QColor(Qt::darkGray);
    return header ? colour.darker(130) : colour;
}
}

HexView::HexView(std::shared_ptr<const Transcript> transcript, QWidget* parent)
    : QAbstractScrollArea(parent)
    , transcript(std::move(transcript))
{
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    verticalScrollBar()->setSingleStep(1);
    refresh();
}

void HexView::refresh()
{
    QScrollBar* bar = verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    const std::uint64_t shownBefore = rowBase - markerRows();
    followDrops();
    appendChunks();
    updateScrollRange();
    if (atEnd)
        bar->setValue(bar->maximum());
    else
        bar->setValue(static_cast<int>(std::max<std::int64_t>(
            0, bar->value() - static_cast<std::int64_t>(rowBase - markerRows() - shownBefore))));
    viewport()->update();
}

void HexView::appendChunks()
{
    const std::size_t count = transcript->chunkCount();
    for (std::size_t i = firstNumber + chunks.size(); i < count; ++i) {
        const Chunk chunk = transcript->chunk(i);
        const int direction = static_cast<int>(chunk.direction);
        chunks.push_back({totalRows, streamBytes[direction]});
        streamBytes[direction] += chunk.length;
        totalRows += 1 + dataRows(chunk.length);
    }
}

// The chunks dropped whole lose their rows; the first one kept is counted
// anew from its first byte kept.
void HexView::followDrops()
{
    const KeptStart kept = transcript->keptStart();
    const std::uint64_t dropped = kept.dropped.bytes[0] + kept.dropped.bytes[1];
    if (dropped == droppedBytes)
        return;
    droppedBytes = dropped;
    if (kept.firstChunk >= firstNumber + chunks.size()) {
        chunks.clear();
        firstNumber = kept.firstChunk;
        streamBytes[0] = kept.dropped.bytes[0];
        streamBytes[1] = kept.dropped.bytes[1];
        rowBase = totalRows;
        return;
    }
    while (firstNumber < kept.firstChunk) {
        chunks.pop_front();
        ++firstNumber;
    }
    const std::uint64_t end = chunks.size() > 1 ? chunks[1].firstRow : totalRows;
    chunks.front().firstRow = end - 1 - dataRows(kept.first.length);
    chunks.front().streamOffset = kept.dropped.bytes[static_cast<int>(kept.first.direction)];
    rowBase = chunks.front().firstRow;
}

void HexView::setShowTimes(bool show)
{
    showTimes = show;
    viewport()->update();
}

QString HexView::notesAfter(std::size_t chunkIndex) const
{
    QString notes;
    const std::size_t count = transcript->eventCount();
    for (std::size_t i = transcript->firstEventAfter(chunkIndex + 1); i < count; ++i) {
        const TranscriptEvent event = transcript->event(i);
        if (event.chunksBefore != chunkIndex + 1)
            break;
        if (!event.text.empty())
            notes += QStringLiteral("  ") + QString::fromStdString(event.text);
    }
    return notes;
}

void HexView::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Home || event->key() == Qt::Key_End) {
        QScrollBar* bar = verticalScrollBar();
        bar->setValue(event->key() == Qt::Key_Home ? bar->minimum() : bar->maximum());
        event->accept();
        return;
    }
    QAbstractScrollArea::keyPressEvent(event);
}

int HexView::visibleRows() const
{
    return std::max(1, viewport()->height() / std::max(1, fontMetrics().lineSpacing()));
}

// A scroll bar counts in int: past that many rows, the last ones are reached
// by the end of its range.
void HexView::updateScrollRange()
{
    const std::uint64_t scrollable = rowCount() > static_cast<std::uint64_t>(visibleRows())
        ? rowCount() - static_cast<std::uint64_t>(visibleRows())
        : 0;
    const int maximum = static_cast<int>(std::min<std::uint64_t>(scrollable, std::numeric_limits<int>::max()));
    verticalScrollBar()->setRange(0, maximum);
    verticalScrollBar()->setPageStep(visibleRows());
}

std::uint64_t HexView::firstVisibleRow() const
{
    return static_cast<std::uint64_t>(verticalScrollBar()->value());
}

std::size_t HexView::chunkOfRow(std::uint64_t row) const
{
    const auto after = std::upper_bound(chunks.begin(), chunks.end(), row,
                                        [](std::uint64_t value, const ChunkRows& chunk) { return value < chunk.firstRow; });
    return static_cast<std::size_t>(after - chunks.begin()) - 1;
}

QString HexView::headerText(std::size_t chunkIndex) const
{
    const Chunk chunk = transcript->chunk(chunkIndex);
    QString text = QStringLiteral("%1 %2 bytes at %3")
                       .arg(chunk.direction == Direction::Received ? "received" : "sent")
                       .arg(QLocale::c().toString(static_cast<qulonglong>(chunk.length)))
                       .arg(QString::fromStdString(formatClock(chunk.timeUs)));
    if (showTimes && chunkIndex > firstNumber)
        text += QStringLiteral(" (%1)").arg(
            QString::fromStdString(formatGap(chunk.timeUs - transcript->chunk(chunkIndex - 1).timeUs)));
    return text + notesAfter(chunkIndex);
}

QString HexView::rowText(std::uint64_t row) const
{
    if (row >= rowCount())
        return QString();
    if (row < markerRows())
        return QStringLiteral("[%1 older bytes were dropped: this connection keeps only its newest bytes]")
            .arg(QString::fromStdString(groupedNumber(droppedBytes)));
    return chunkRowText(rowBase + row - markerRows());
}

QString HexView::chunkRowText(std::uint64_t row) const
{
    const std::size_t index = chunkOfRow(row);
    const std::uint64_t rowInChunk = row - chunks[index].firstRow;
    if (rowInChunk == 0)
        return headerText(firstNumber + index);
    const Chunk chunk = transcript->chunk(firstNumber + index);
    const std::uint64_t start = (rowInChunk - 1) * bytesPerRow;
    if (start >= chunk.length)
        return QString();
    std::string bytes;
    transcript->read(chunk.offset + start, static_cast<std::size_t>(std::min<std::uint64_t>(bytesPerRow, chunk.length - start)),
                     bytes);
    const std::string row16 = formatHexRow(chunks[index].streamOffset + start, bytes.data(), bytes.size());
    return QString::fromLatin1(row16.data(), static_cast<qsizetype>(row16.size()));
}

void HexView::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    const int lineHeight = std::max(1, fontMetrics().lineSpacing());
    const int width = viewport()->width();
    painter.fillRect(viewport()->rect(), palette().base());
    // The last rows of a transcript longer than the scroll bar's range.
    const std::uint64_t count = rowCount();
    std::uint64_t first = firstVisibleRow();
    if (verticalScrollBar()->value() == verticalScrollBar()->maximum() && count > static_cast<std::uint64_t>(visibleRows()))
        first = count - static_cast<std::uint64_t>(visibleRows());
    const int rows = visibleRows() + 1;
    for (int i = 0; i < rows && first + static_cast<std::uint64_t>(i) < count; ++i) {
        const std::uint64_t row = first + static_cast<std::uint64_t>(i);
        const QRect line(0, i * lineHeight, width, lineHeight);
        if (row < markerRows()) {
            painter.fillRect(line, palette().alternateBase());
        } else {
            const std::size_t index = chunkOfRow(rowBase + row - markerRows());
            const bool header = rowBase + row - markerRows() == chunks[index].firstRow;
            painter.fillRect(line, background(transcript->chunk(firstNumber + index).direction, header));
        }
        painter.setPen(palette().color(QPalette::Text));
        painter.drawText(line.adjusted(4, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, rowText(row));
    }
}

void HexView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollRange();
}
