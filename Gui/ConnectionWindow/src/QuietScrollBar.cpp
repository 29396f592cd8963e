#include "QuietScrollBar.h"

#include <QStyle>
#include <QStyleOptionSlider>

QuietScrollBar::QuietScrollBar(Qt::Orientation orientation, QWidget* parent)
    : QScrollBar(orientation, parent)
{
}

void QuietScrollBar::setHeld(bool hold)
{
    held = hold;
    if (!held && changedWhileHeld) {
        changedWhileHeld = false;
        if (currentLook() != painted)
            update();
    }
}

// The arrows' look may depend on whether the value is at either end, so
// those count as well as the slider's place.
QuietScrollBar::Look QuietScrollBar::currentLook() const
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    Look look;
    look.slider = style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this);
    look.atMinimum = value() == minimum();
    look.atMaximum = value() == maximum();
    return look;
}

void QuietScrollBar::sliderChange(SliderChange change)
{
    if (held) {
        changedWhileHeld = true;
        return;
    }
    if (currentLook() != painted)
        QScrollBar::sliderChange(change);
}

void QuietScrollBar::paintEvent(QPaintEvent* event)
{
    painted = currentLook();
    QScrollBar::paintEvent(event);
}
