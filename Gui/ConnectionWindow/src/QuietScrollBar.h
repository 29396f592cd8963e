#pragma once

#include <QRect>
#include <QScrollBar>

// A scroll bar that paints only when its look changes. A view that follows
// the newest line changes its scroll bar's range with every frame, and once
// the slider is at its least length and at the end, nothing of that shows:
// painting it anyway costs as much as painting a few lines of text.
// Between frames the view holds it; releasing it paints it once, if needed.
class QuietScrollBar : public QScrollBar
{
public:
    explicit QuietScrollBar(Qt::Orientation orientation, QWidget* parent = nullptr);

    void setHeld(bool held);

protected:
    void sliderChange(SliderChange change) override;
    void paintEvent(QPaintEvent* event) override;

private:
    struct Look
    {
        QRect slider;
        bool atMinimum = false;
        bool atMaximum = false;
        bool operator==(const Look& other) const
        {
            return slider == other.slider && atMinimum == other.atMinimum && atMaximum == other.atMaximum;
        }
        bool operator!=(const Look& other) const { return !(*this == other); }
    };
    Look currentLook() const;

    bool held = false;
    bool changedWhileHeld = false;
    Look painted;
};
