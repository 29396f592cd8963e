#include "PaintPacer.h"

#include "QuietScrollBar.h"

#include <QAbstractScrollArea>

#include <algorithm>
#include <cstdlib>

PaintPacer::PaintPacer(QAbstractScrollArea* view, QuietScrollBar* scrollBar)
    : QObject(view)
    , view(view)
    , scrollBar(scrollBar)
{
    paintTimer.setSingleShot(true);
    connect(&paintTimer, &QTimer::timeout, this, &PaintPacer::paintFrame);
}

void PaintPacer::batchOpened()
{
    batchOpen = true;
    holdPaintsUntilNextFrame();
    holdScrollBarWhileBusy();
}

void PaintPacer::batchClosed()
{
    batchOpen = false;
    holdScrollBarWhileBusy();
}

// A batch soon after the last paint is painted with the next frame, together
// with whatever comes until then.
void PaintPacer::holdPaintsUntilNextFrame()
{
    if (paintTimer.isActive())
        return;
    if (!paintClock.isValid() || paintClock.elapsed() >= frameIntervalMs) {
        startFrame();
        return;
    }
    setPaintsHeld(true);
    paintTimer.start(static_cast<int>(frameIntervalMs - paintClock.elapsed()));
}

void PaintPacer::paintFrame()
{
    setPaintsHeld(false);
    holdScrollBarWhileBusy();
    startFrame();
}

// Text that moved by more than a few lines (or the view's height) since the
// last frame goes by faster than anyone reads: the next frame comes later.
void PaintPacer::startFrame()
{
    paintClock.start();
    const int scrolledTo = scrollBar->value();
    const int readable = std::min(view->viewport()->height(), fastScrollLines * view->fontMetrics().lineSpacing());
    const bool fast = std::abs(scrolledTo - lastFrameScrolledTo) > readable;
    frameIntervalMs = fast ? fastScrollPaintIntervalMs : paintIntervalMs;
    lastFrameScrolledTo = scrolledTo;
}

// Only the text: holding the whole widget would paint its frame, and the
// widgets under it, every frame too.
void PaintPacer::setPaintsHeld(bool held)
{
    view->viewport()->setUpdatesEnabled(!held);
}

// The scroll bar waits while a batch is open (its range grows before the view
// follows it to the end) and until the next frame; then it compares its look
// once.
void PaintPacer::holdScrollBarWhileBusy()
{
    scrollBar->setHeld(batchOpen || paintTimer.isActive());
}
