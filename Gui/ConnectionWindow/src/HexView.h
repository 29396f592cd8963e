#pragma once

#include <QAbstractScrollArea>
#include <QString>

#include <cstdint>
#include <memory>
#include <deque>

class Transcript;

// The transcript as a hex dump: every chunk starts with a line that says its
// direction, size and time, followed by rows of 16 bytes (the offset within
// that direction's stream, the bytes in hex, and as Latin-1 characters); the
// events recorded after a chunk follow on its header line. Only
// the rows on screen are read and drawn, so it costs the same for a kilobyte
// as for a gigabyte. When the transcript keeps only its newest bytes, the
// first row counts what was dropped, the rows of dropped chunks go, and the
// rows in sight stay in sight.
class HexView : public QAbstractScrollArea
{
public:
    static constexpr int bytesPerRow = 16;

    explicit HexView(std::shared_ptr<const Transcript> transcript, QWidget* parent = nullptr);

    // Takes in the chunks that arrived since the last call.
    void refresh();
    void setShowTimes(bool show);

    std::uint64_t rowCount() const { return markerRows() + totalRows - rowBase; }
    QString rowText(std::uint64_t row) const;
    std::uint64_t firstVisibleRow() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // Home and End (with Ctrl or without) go to the first and the last row.
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Rows are counted from the first one ever shown; rowBase is the first
    // one still kept.
    struct ChunkRows
    {
        std::uint64_t firstRow;
        std::uint64_t streamOffset;
    };

    void followDrops();
    void appendChunks();
    std::uint64_t markerRows() const { return droppedBytes > 0 ? 1 : 0; }
    // The position in chunks of the chunk holding an absolute row.
    std::size_t chunkOfRow(std::uint64_t row) const;
    QString chunkRowText(std::uint64_t row) const;
    QString headerText(std::size_t chunkIndex) const;
    QString notesAfter(std::size_t chunkIndex) const;
    int visibleRows() const;
    void updateScrollRange();

    std::shared_ptr<const Transcript> transcript;
    std::deque<ChunkRows> chunks;
    std::size_t firstNumber = 0; // the transcript's number of chunks.front()
    std::uint64_t totalRows = 0;
    std::uint64_t rowBase = 0;
    std::uint64_t droppedBytes = 0;
    std::uint64_t streamBytes[2] = {0, 0};
    bool showTimes = false;
};
