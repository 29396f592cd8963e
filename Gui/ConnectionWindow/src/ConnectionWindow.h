#pragma once

#include "ui_ConnectionWindowForm.h"

#include <QString>
#include <QTimer>
#include <QWidget>

#include <boost/shared_ptr.hpp>
#include <boost/signals2/connection.hpp>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "ConnectionRecorder.h"
#include "Transcript.h"

class AttributesEditor;
class ConversationFeed;
class HexView;
class Http;
class ProtocolBase;
struct SavedReply;

// One connection: the conversation, the input and the Send button, and the
// protocol attributes editor when the protocol has attributes. The
// connection's transcript is the record of every byte both ways; the views
// show it.
class ConnectionWindow : public QWidget, public Ui::ConnectionWindowForm
{
    Q_OBJECT

public:
    enum class ViewMode { Text = 0, ControlBytes = 1, Hex = 2 };
    enum class SaveFormat { ReceivedBytes, TranscriptText };
    // When the window makes its widgets: at once, or once it is first drawn
    // on screen (see makeWidgets).
    enum class Widgets { Now, WhenSeen };

    // windowId identifies the window to its manager; empty means the
    // connection's endpoint text.
    ConnectionWindow(QWidget* parent, boost::shared_ptr<ProtocolBase> protocol,
                     const QString& windowId = QString(), Widgets widgets = Widgets::Now);
    ~ConnectionWindow() override;

    // Starts the connection reading. The owner connects to this window's
    // signals first, so that not even the end of a connection that closes at
    // once goes unreported.
    void start();
    void closeSession();
    QString getWindowId() const;
    // Sets the window title ("Connection from: " and the endpoint). The owner
    // calls it once the window is shown: while it is shown the sub-window
    // around it measures its title on every size query, over a hundred times,
    // which cost as much as the rest of making the window.
    void showTitle();
    QString getTitle() const { return title; }
    void setupProtocolAttributesWidget(boost::shared_ptr<ProtocolBase> protocol);

    // A window made with Widgets::WhenSeen is at first an empty pane: the
    // connection reads into the transcript, and the title and the session
    // list follow it, but the form's widgets (some thirty, the costly part
    // of a window) are made only here, after which the views catch up with
    // the transcript. Until then the form's members are null. A burst of
    // clients thus costs little for the windows nobody sees.
    void makeWidgets();
    bool hasWidgets() const { return widgetsMade; }

    // The memory budget and file of the transcripts of windows made from now on.
    static void setTranscriptLimits(const TranscriptLimits& limits);

    const Transcript& getTranscript() const { return *transcript; }
    ConversationFeed& getFeed();
    // The hex view, once it has been shown.
    HexView* getHexView() const { return hexView; }
    void setViewMode(ViewMode mode);
    ViewMode getViewMode() const { return viewMode; }
    void setShowTimes(bool show);
    // Whether the text view has drawn (or skipped) everything received so far.
    bool isViewCaughtUp() const;

    // Writes the conversation to path; returns an empty string or what went wrong.
    QString saveConversation(const QString& path, SaveFormat format);
    // Sends the file's bytes as the reply (for HTTP, as the response's body);
    // false, with the reason beside the input, when it cannot be read.
    bool sendFile(const QString& path);

    // For HTTP connections, the status line's code and reason and the
    // "Close after each response" box; null otherwise.
    QComboBox* getStatusBox() const { return statusBox; }
    QCheckBox* getCloseAfterResponseBox() const { return closeAfterResponseBox; }

signals:
    // Drawn on screen while it has no widgets yet.
    void seenWithoutWidgets();
    void onSendLocalDataSignal(QString data);
    void onWindowDestroying(QString windowId);
    void onWindowInactive(QString windowId);

public slots:
    void onReadLocalDataSlot(QString data);
    void onSendButtonClick();
    // Asks where to save and in which form, then saves.
    void onSaveConversation();
    // Sends the reply chosen in the saved replies box.
    void onSendSavedClick();
    // Asks for a name and saves the input as a reply.
    void onSaveAsReply();
    void onDeleteReply();
    void onSendFileClick();
    // The server's side of the faults a client must cope with.
    void onCloseSendingClick();
    void onResetClick();

protected:
    // Ctrl+Return in the input sends.
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Takes the update requests posted from the IO threads.
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void setupSendingControls();
    void setupMoreControls();
    void showMoreControls(bool shown);
    void fillSavedReplies();
    void showSendError(const QString& text);
    // Takes the status line from the status box into the protocol; false,
    // with the reason shown, when it is not a valid one.
    bool applyHttpStatus();
    // Hands framed bytes to the connection (in pieces when so chosen) and to
    // the transcript; false, with the reason shown, when the choice of pieces
    // is not valid.
    bool sendReplyBytes(std::string framed);
    // A note after the chunk, in both views; after the newest for noChunk.
    void addNote(std::size_t chunk, const QString& text);
    void updateSendingEnabled();
    // A file send whose result has not come yet.
    bool isFileGoingOut() const;
    bool sendSavedReply(const SavedReply& reply);
    const SavedReply* chosenSavedReply() const;
    void rememberAutoReply();
    void answerNewChunks();
    void requestUpdate();
    void scheduleDraw();
    void drawSlice();
    void takeEvents();
    void showSendResult(const ConnectionRecorder::SendResult& result);
    void showCounts();
    void scheduleCounts();
    void showState(const QString& text);
    void retryStorage();
    void markInactive();
    void connectProtocol();

    boost::shared_ptr<ProtocolBase> protocol;
    QString windowId;
    QString title;
    std::shared_ptr<Transcript> transcript;
    std::shared_ptr<ConnectionRecorder> recorder;
    std::unique_ptr<ConversationFeed> feed;
    HexView* hexView = nullptr;
    ViewMode viewMode = ViewMode::Text;
    boost::signals2::connection readConnection;
    boost::signals2::connection sendResultConnection;
    boost::signals2::connection sentDataConnection;

    // Drawing is paced: the next slice comes through this timer, so that
    // other events get their turn, and small chunks that arrive close together
    // share one layout and one repaint.
    QTimer drawTimer;
    qint64 lastDrawMs = -1;
    // The counts change with every chunk but are redrawn a few times a second.
    qint64 lastCountsMs = -1;
    bool countsPending = false;
    QTimer storageRetry;

    // A send handed to the connection, until its result comes.
    struct SendRecord
    {
        std::size_t chunk = ConnectionRecorder::noChunk; // its (last) chunk in the transcript
        QString fileName;                                // set for a file
        std::uint64_t fileSize = 0;
        QString piecesNote;                              // set for a reply sent in pieces
    };
    struct ReplyToRecord
    {
        std::uint64_t id;
        // While a file goes out, a reply is recorded once written, after the file.
        bool whenWritten;
    };
    // Replies whose text is on its way to onReadLocalDataSlot.
    std::deque<ReplyToRecord> repliesToRecord;
    std::map<std::uint64_t, SendRecord> sends;
    // Results that came before their reply reached onReadLocalDataSlot.
    std::vector<ConnectionRecorder::SendResult> resultsBeforeRecord;
    bool connectionReset = false;
    // Every note, for the hex view when it is made.
    std::vector<std::pair<std::size_t, QString>> hexNotes;
    bool widgetsMade = false;
    // What the state line says; kept while there are no widgets yet.
    QString stateText;
    bool ended = false;
    bool inactiveShown = false;
    bool readingPaused = false;

    Http* http = nullptr;
    AttributesEditor* attributesEditor = nullptr;
    QComboBox* statusBox = nullptr;
    QCheckBox* closeAfterResponseBox = nullptr;
    bool autoReplyOnOpen = false;
    // Received chunks that auto-reply has answered or let pass.
    std::size_t answeredChunks = 0;
    bool fillingSavedReplies = false;
};
