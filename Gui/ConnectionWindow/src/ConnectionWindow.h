#pragma once

#include "ui_ConnectionWindowForm.h"

#include "Conversation.h"
#include "ConversationDisplay.h"
#include "ConversationSaving.h"
#include "FrameClock.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>
#include <string>

class ConnectionRules;
class ConversationFeed;
class HexView;
class HttpResponsePanel;
class SavedRepliesPanel;
class SendingPanel;
class TlsDetailsLine;
class Transcript;

// One connection's window: the form and its wiring. What the connection is
// (its transcript, sends and state) lives in its Conversation, which this
// window shows and acts on; the views read the conversation's transcript.
class ConnectionWindow : public QWidget, public Ui::ConnectionWindowForm, private FrameClient
{
    Q_OBJECT

public:
    using ViewMode = ConversationDisplay::ViewMode;
    using SaveFormat = ConversationSaving::Format;
    // When the window makes its widgets: at once, or once it is first drawn
    // on screen (see makeWidgets).
    enum class Widgets { Now, WhenSeen };

    // windowId identifies the window to its manager; empty means the
    // connection's endpoint text. The clock paces its drawing.
    ConnectionWindow(QWidget* parent, std::shared_ptr<Conversation> conversation, FrameClock& clock,
                     const QString& windowId = QString(), Widgets widgets = Widgets::Now);
    ~ConnectionWindow() override;

    // Takes the conversation on: the owner connects to this window's signals
    // first, so that not even the end of a connection that closed at once
    // goes unreported.
    void start();
    void closeSession();
    QString getWindowId() const { return windowId; }
    // Sets the window title ("Connection from: " and the endpoint). The owner
    // calls it once the window is shown: while it is shown the sub-window
    // around it measures its title on every size query, over a hundred times,
    // which cost as much as the rest of making the window.
    void showTitle() { setWindowTitle(title); }
    QString getTitle() const { return title; }

    // A window made with Widgets::WhenSeen is at first an empty pane: the
    // connection reads into the transcript, and the title and the session
    // list follow it, but the form's widgets (some thirty, the costly part
    // of a window) are made only here, after which the views catch up with
    // the transcript. Until then the form's members are null. A burst of
    // clients thus costs little for the windows nobody sees.
    void makeWidgets();
    bool hasWidgets() const { return display != nullptr; }

    Conversation& getConversation() const { return *conversation; }
    ConnectionRules& getRules() const { return *rules; }
    const Transcript& getTranscript() const { return conversation->transcript(); }
    ConversationFeed& getFeed();
    // The hex view, once it has been shown.
    HexView* getHexView() const { return display ? display->hexView() : nullptr; }
    void setViewMode(ViewMode mode);
    ViewMode getViewMode() const { return display ? display->viewMode() : ViewMode::Text; }
    void setShowTimes(bool show);
    // Whether the text view has drawn (or skipped) everything recorded so far.
    bool isViewCaughtUp() const { return display && display->isCaughtUp(); }
    bool isReadingPaused() const { return pauseShown != Conversation::Pause::None; }
    Conversation::Pause readingPause() const { return pauseShown; }

    // Writes the conversation to path; returns an empty string or what went wrong.
    QString saveConversation(const QString& path, SaveFormat format);
    // Sends the file's bytes as the reply (for HTTP, as the response's body);
    // false, with the reason beside the input, when it cannot be read.
    bool sendFile(const QString& path);

    // For HTTP connections, the status line's code and reason and the
    // "Close after each response" box; null otherwise.
    QComboBox* getStatusBox() const;
    QCheckBox* getCloseAfterResponseBox() const;

signals:
    // Drawn on screen while it has no widgets yet.
    void seenWithoutWidgets();
    void onWindowDestroying(QString windowId);
    void onWindowInactive(QString windowId);
    // Reading from the client paused (or went on again: Pause::None), or
    // paused for another reason.
    void readingPausedChanged(QString windowId, Conversation::Pause pause);
    // The client's TLS handshake failed, for the reason given.
    void tlsHandshakeFailed(QString windowId, QString reason);

public slots:
    // Asks where to save and in which form, then saves.
    void onSaveConversation();
    // Asks where to save rules that answer as this side did, then saves them.
    void onSaveAsRules();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void onFrame() override;
    void conversationChanged();
    void wireForm();
    void followState();
    void showRules();
    void showPause();
    void markInactive();
    void tellTlsFailure();
    void updateSendingEnabled();
    void requestFrame(int delayMs = -1);

    std::shared_ptr<Conversation> conversation;
    // Gone before the window when the program ends.
    QPointer<FrameClock> clock;
    QString windowId;
    QString title;
    std::unique_ptr<ConversationDisplay> display;
    std::unique_ptr<HttpResponsePanel> response;
    std::unique_ptr<SendingPanel> sending;
    std::unique_ptr<SavedRepliesPanel> replies;
    // Which rules answer the connection; a child, made with the window.
    ConnectionRules* rules = nullptr;
    std::unique_ptr<TlsDetailsLine> tlsLine;
    bool autoReplyOnOpen = false;
    bool readEnded = false;
    bool inactiveShown = false;
    Conversation::Pause pauseShown = Conversation::Pause::None;
    bool tlsFailureTold = false;
    QString pauseReason;
};
