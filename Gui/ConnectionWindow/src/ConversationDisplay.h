#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class ConversationFeed;
class HexView;
class Transcript;

namespace Ui
{
class ConnectionWindowForm;
}

// What a connection window shows of its conversation: the text views fed
// from the transcript, the hex view (made the first time it is chosen), the
// time stamps, the counts and the state line. It reads the transcript and
// keeps no copy of it.
class ConversationDisplay : public QObject
{
public:
    enum class ViewMode { Text = 0, ControlBytes = 1, Hex = 2 };

    // The counts change with every chunk but are redrawn a few times a second.
    static constexpr int countsIntervalMs = 250;

    // wantFrame asks for a frame after the views were drawn anew.
    ConversationDisplay(Ui::ConnectionWindowForm& form, QWidget* window,
                        std::shared_ptr<const Transcript> transcript, std::function<void()> wantFrame);
    ~ConversationDisplay() override;

    struct Frame
    {
        bool caughtUp = true;
        bool jumped = false; // the text view skipped ahead: data comes faster than it can be drawn
        int countsDueInMs = -1; // when the counts want drawing again, if they do
    };
    // Draws what came since the last frame, for up to sliceMs.
    Frame draw(int sliceMs);

    void setViewMode(ViewMode mode);
    ViewMode viewMode() const { return mode; }
    void setShowTimes(bool show);
    bool isCaughtUp() const;
    void showState(const QString& text);

    ConversationFeed& feed() { return *textFeed; }
    HexView* hexView() const { return hex; }

private:
    void restoreSplitter();
    int drawCounts();
    void showCounts();

    Ui::ConnectionWindowForm& form;
    QWidget* window;
    std::shared_ptr<const Transcript> transcript;
    std::function<void()> wantFrame;
    std::unique_ptr<ConversationFeed> textFeed;
    HexView* hex = nullptr;
    ViewMode mode = ViewMode::Text;
    QElapsedTimer sinceCounts;
    bool countsStale = true;
};
