#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QAbstractScrollArea;
class QuietScrollBar;

// Paces the paints of a text view that grows in batches. A view is painted
// at most every paintIntervalMs, however often batches come: a screen shows
// no more, and a paint (the viewport, the scroll bar and what lies under it)
// costs more than adding a few lines. While the text moves by more than
// fastScrollLines (or a screen) a frame, half as often: nobody reads that
// fast, as a terminal's jump scroll knows.
//
// Between two paints the text's updates are off and its scroll bar is held;
// letting go paints the text once, and the scroll bar if its look changed.
class PaintPacer : public QObject
{
public:
    static constexpr int paintIntervalMs = 16;
    static constexpr int fastScrollPaintIntervalMs = 33;
    static constexpr int fastScrollLines = 8;

    // A child of the view, going with it.
    PaintPacer(QAbstractScrollArea* view, QuietScrollBar* scrollBar);

    void batchOpened();
    void batchClosed();

private:
    void holdPaintsUntilNextFrame();
    void paintFrame();
    void startFrame();
    void setPaintsHeld(bool held);
    void holdScrollBarWhileBusy();

    QAbstractScrollArea* view;
    QuietScrollBar* scrollBar;
    bool batchOpen = false;
    QTimer paintTimer;
    QElapsedTimer paintClock;
    int frameIntervalMs = paintIntervalMs;
    int lastFrameScrolledTo = 0;
};
