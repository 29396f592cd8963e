#include "ConnectionWindow.h"

#include "Conversation.h"
#include "ConversationFeed.h"
#include "FileDialogs.h"
#include "GuiHandOff.h"
#include "HexView.h"
#include "HttpResponsePanel.h"
#include "Latin1.h"
#include "Log.h"
#include "ReplyComposer.h"
#include "ReplyLibrary.h"
#include "SavedRepliesPanel.h"
#include "Transcript.h"
#include "TranscriptSaver.h"

#include <QFile>
#include <QIcon>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPalette>
#include <QSettings>

namespace
{
// The size a window opens with, before it is fitted into the area.
constexpr QSize defaultSize(882, 662);
// While the data comes faster than it can be drawn, frames come this far
// apart: a flood is unreadable anyway, and each frame takes time from reading it.
constexpr int floodFrameGapMs = 50;
// Where the split between the conversation and the input is remembered.
const char* const splitterKey = "ConnectionWindow/inputSplitter";

// Decoded once: every window shows it, and decoding it per window cost as
// much as laying the window out. Never destroyed: pixmaps must not outlive
// the application object.
const QIcon& sendIcon()
{
    static const QIcon* icon = new QIcon(QStringLiteral(":/Icons/Upload.png"));
    return *icon;
}

// What a window's form needs at least, with its rows under the input folded,
// for the windows that have not made theirs yet. Measured once, on a form
// made for the purpose.
QSize formMinimumSize()
{
    static const QSize size = [] {
        QWidget form;
        Ui::ConnectionWindowForm ui;
        ui.setupUi(&form);
        ui.moreControls->hide();
        return form.minimumSizeHint();
    }();
    return size;
}
}

ConnectionWindow::ConnectionWindow(QWidget* parent, std::shared_ptr<Conversation> conversation, FrameClock& clock,
                                   const QString& windowId, Widgets widgets)
    : QWidget(parent)
    , conversation(std::move(conversation))
    , clock(&clock)
    , composer(std::make_unique<ReplyComposer>(this->conversation->protocol()))
{
    const QString endpoint = Latin1::toQString(this->conversation->endpoint());
    this->windowId = windowId.isEmpty() ? endpoint : windowId;
    title = "Connection from: " + endpoint;
    resize(defaultSize);
    // A window that may answer by itself is never left unseen.
    autoReplyOnOpen = ReplyLibrary::shared().autoReply().enabled;
    if (widgets == Widgets::Now || autoReplyOnOpen)
        makeWidgets();
    else
        setMinimumSize(formMinimumSize());
}

// The watcher runs on the thread that changed the conversation: it only hands
// the news to this window, which takes it at its next frame.
void ConnectionWindow::start()
{
    conversation->watch([this] { GuiHandOff::post(this, [this] { conversationChanged(); }); });
    if (replies)
        replies->answerNewConnection();
}

ConnectionWindow::~ConnectionWindow()
{
    conversation->unwatch();
    if (clock)
        clock->forget(this);
    conversation->close();
    Log::line("Connection window destroyed");
    emit onWindowDestroying(windowId);
}

void ConnectionWindow::makeWidgets()
{
    if (display)
        return;
    setMinimumSize(0, 0); // from now on the form's layout decides
    setupUi(this);
    response = std::make_unique<HttpResponsePanel>(*this, conversation->sharedProtocol(), [this] { showSendError(QString()); });
    display = std::make_unique<ConversationDisplay>(*this, this, conversation->sharedTranscript(),
                                                    [this] { requestFrame(); });
    wireForm();
    wireInput();
    restoreSplitter();
    showPause(readingPausedShown);
    followState();
    // Children made inside a shown widget would otherwise show only on the
    // next turn of the event loop.
    if (isVisible()) {
        for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (!child->testAttribute(Qt::WA_WState_ExplicitShowHide))
                child->show();
        }
    }
    requestFrame();
}

void ConnectionWindow::requestFrame(int delayMs)
{
    if (clock)
        clock->requestFrame(this, delayMs);
}

void ConnectionWindow::wireForm()
{
    connect(sendButton, &QPushButton::clicked, this, &ConnectionWindow::onSendButtonClick);
    connect(saveButton, &QPushButton::clicked, this, &ConnectionWindow::onSaveConversation);
    connect(sendFileButton, &QPushButton::clicked, this, &ConnectionWindow::onSendFileClick);
    connect(closeSendingButton, &QPushButton::clicked, this, &ConnectionWindow::onCloseSendingClick);
    connect(resetButton, &QPushButton::clicked, this, &ConnectionWindow::onResetClick);
    sendButton->setIcon(sendIcon());
    QPalette errorPalette = sendErrorLabel->palette();
    errorPalette.setColor(QPalette::WindowText, QColor(0xb0, 0x00, 0x00));
    sendErrorLabel->setPalette(errorPalette);
    sendErrorLabel->setWordWrap(false);

    SavedRepliesPanel::Window hooks;
    hooks.widget = this;
    hooks.send = [this](const SavedReply& reply) { return sendSavedReply(reply); };
    hooks.draft = [this] { return draftReply(); };
    hooks.showError = [this](const QString& text) { showSendError(text); };
    hooks.note = [this](const QString& text) { addNote(text); };
    hooks.canSend = [this] { return conversation->state().canSend; };
    hooks.receivedChunks = [this] {
        return static_cast<std::size_t>(getTranscript().totals().chunks[static_cast<int>(Direction::Received)]);
    };
    replies = std::make_unique<SavedRepliesPanel>(*this, std::move(hooks), autoReplyOnOpen);
}

// The rows under the input (saved replies, auto-reply, files, pieces, faults)
// start folded as the user last left them, and open by themselves while
// auto-reply is on, so that a window never answers on its own unseen. Folded
// rows are never laid out or drawn: a burst of new windows costs less.
void ConnectionWindow::wireInput()
{
    ReplyLibrary& library = ReplyLibrary::shared();
    inputModeBox->setCurrentIndex(static_cast<int>(library.inputMode()));
    lineEndingBox->setCurrentIndex(static_cast<int>(library.lineEnding()));
    lineEndingBox->setEnabled(library.inputMode() == InputMode::Text);
    const auto rememberMode = [this] {
        lineEndingBox->setEnabled(inputModeBox->currentIndex() == static_cast<int>(InputMode::Text));
        ReplyLibrary::shared().setSendingDefaults(static_cast<InputMode>(inputModeBox->currentIndex()),
                                                  static_cast<LineEnding>(lineEndingBox->currentIndex()));
        showSendError(QString());
    };
    connect(inputModeBox, qOverload<int>(&QComboBox::currentIndexChanged), this, rememberMode);
    connect(lineEndingBox, qOverload<int>(&QComboBox::currentIndexChanged), this, rememberMode);
    connect(textEdit_2, &QTextEdit::textChanged, this, [this] { showSendError(QString()); });
    textEdit_2->installEventFilter(this);
    connect(piecesBox, &QCheckBox::toggled, this, [this] { showSendError(QString()); });
    connect(pieceSizeBox, qOverload<int>(&QSpinBox::valueChanged), this, [this] { showSendError(QString()); });

    const bool shown = library.moreControlsShown() || autoReplyBox->isChecked();
    const auto showMore = [this](bool show) {
        moreButton->setArrowType(show ? Qt::DownArrow : Qt::RightArrow);
        moreControls->setVisible(show);
    };
    moreButton->setChecked(shown);
    showMore(shown);
    connect(moreButton, &QToolButton::toggled, this, showMore);
    connect(moreButton, &QToolButton::clicked, this, [](bool show) { ReplyLibrary::shared().setMoreControlsShown(show); });
}

// The conversation gets most of the height; where the user moves the split
// is where new windows put it.
void ConnectionWindow::restoreSplitter()
{
    conversationSplitter->setStretchFactor(0, 4);
    conversationSplitter->setStretchFactor(1, 1);
    conversationSplitter->restoreState(QSettings().value(splitterKey).toByteArray());
    connect(conversationSplitter, &QSplitter::splitterMoved, this,
            [this] { QSettings().setValue(splitterKey, conversationSplitter->saveState()); });
}

// Qt lets a paint event through only where the widget is not covered, so
// this is the first moment the user may see the window.
void ConnectionWindow::paintEvent(QPaintEvent* event)
{
    if (!display)
        emit seenWithoutWidgets();
    QWidget::paintEvent(event);
}

void ConnectionWindow::showTitle()
{
    setWindowTitle(title);
}

const Transcript& ConnectionWindow::getTranscript() const
{
    return conversation->transcript();
}

ConversationFeed& ConnectionWindow::getFeed()
{
    makeWidgets();
    return display->feed();
}

HexView* ConnectionWindow::getHexView() const
{
    return display ? display->hexView() : nullptr;
}

void ConnectionWindow::setViewMode(ViewMode mode)
{
    makeWidgets();
    display->setViewMode(mode);
}

ConnectionWindow::ViewMode ConnectionWindow::getViewMode() const
{
    return display ? display->viewMode() : ViewMode::Text;
}

void ConnectionWindow::setShowTimes(bool show)
{
    makeWidgets();
    display->setShowTimes(show);
}

bool ConnectionWindow::isViewCaughtUp() const
{
    return display && display->isCaughtUp();
}

QComboBox* ConnectionWindow::getStatusBox() const
{
    return response ? response->statusBox() : nullptr;
}

QCheckBox* ConnectionWindow::getCloseAfterResponseBox() const
{
    return response ? response->closeAfterResponseBox() : nullptr;
}

// Whatever changed waits for the next frame, which takes it all: the
// conversation tells nothing more until then, so news arriving in between
// costs the GUI thread nothing, also in a window that has no widgets yet.
void ConnectionWindow::conversationChanged()
{
    requestFrame();
}

void ConnectionWindow::onFrame()
{
    conversation->acknowledge();
    followState();
    if (!display) {
        // Nothing to draw yet: only the end of the connection shows, in the title.
        if (readEnded && !inactiveShown)
            markInactive();
        return;
    }
    replies->answerNewChunks();
    const ConversationDisplay::Frame frame = display->draw(clock ? clock->drawingTimeMs() : FrameClock::sliceMs);
    if (clock)
        clock->setBehind(this, !frame.caughtUp);
    if (!frame.caughtUp) {
        requestFrame(frame.jumped ? floodFrameGapMs : 0);
        return;
    }
    if (frame.countsDueInMs >= 0)
        requestFrame(frame.countsDueInMs);
    if (readEnded && !inactiveShown)
        markInactive();
}

void ConnectionWindow::followState()
{
    const Conversation::State state = conversation->state();
    readEnded = state.readEnded;
    if (state.readingPaused != readingPausedShown) {
        readingPausedShown = state.readingPaused;
        pauseReason = QString::fromStdString(state.storageError);
        showPause(readingPausedShown);
        emit readingPausedChanged(windowId, readingPausedShown);
    }
    updateSendingEnabled();
}

void ConnectionWindow::showPause(bool paused)
{
    if (!display)
        return;
    display->showState(paused ? QStringLiteral("Reading from this client is paused: the transcript file cannot be "
                                               "written (%1). Reading goes on when there is room again.")
                                    .arg(pauseReason)
                              : QString());
}

// The client has ended its sending. The connection may still take a reply
// (many clients shut down their side and wait for the answer), so the input
// stays usable for as long as it can.
void ConnectionWindow::markInactive()
{
    inactiveShown = true;
    emit onWindowInactive(windowId);
}

void ConnectionWindow::updateSendingEnabled()
{
    if (!display)
        return;
    const Conversation::State state = conversation->state();
    for (QWidget* control : {static_cast<QWidget*>(sendButton), static_cast<QWidget*>(textEdit_2),
                             static_cast<QWidget*>(sendFileButton), static_cast<QWidget*>(closeSendingButton)})
        control->setEnabled(state.canSend);
    replies->updateEnabled();
    // A reset is still possible while the socket is open, after Close Sending too.
    resetButton->setEnabled(!state.resetByServer && (!state.readEnded || state.canSend));
}

bool ConnectionWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == textEdit_2 && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            (key->modifiers() & Qt::ControlModifier)) {
            if (sendButton->isEnabled())
                onSendButtonClick();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void ConnectionWindow::closeSession()
{
    Log::line("clossing session: ", Latin1::toBytes(windowId));
    conversation->close();
}

void ConnectionWindow::showSendError(const QString& text)
{
    if (sendErrorLabel->text() != text)
        sendErrorLabel->setText(text);
    sendErrorLabel->setToolTip(text);
}

// Invalid input sends nothing and stays in the input, the error beside it.
void ConnectionWindow::onSendButtonClick()
{
    const ReplyComposer::Reply reply = composer->typed(
        Latin1::toBytes(textEdit_2->toPlainText()), static_cast<InputMode>(inputModeBox->currentIndex()),
        static_cast<LineEnding>(lineEndingBox->currentIndex()), response->status());
    if (!reply.ok()) {
        showSendError(QString::fromStdString(reply.error));
        return;
    }
    if (!sendBytes(reply.bytes))
        return;
    textEdit_2->clear();
    showSendError(QString());
}

bool ConnectionWindow::sendBytes(std::string bytes)
{
    if (!piecesBox->isChecked()) {
        conversation->send(std::move(bytes));
        return true;
    }
    std::string error;
    if (conversation->sendInPieces(std::move(bytes), static_cast<std::size_t>(std::max(0, pieceSizeBox->value())),
                                   std::chrono::milliseconds(pieceDelayBox->value()), error) == 0) {
        showSendError(QString::fromStdString(error));
        return false;
    }
    return true;
}

bool ConnectionWindow::sendSavedReply(const SavedReply& reply)
{
    const ReplyComposer::Reply composed = composer->saved(reply);
    if (!composed.ok()) {
        showSendError(QString::fromStdString(composed.error));
        return false;
    }
    return sendBytes(composed.bytes);
}

SavedReply ConnectionWindow::draftReply() const
{
    SavedReply reply;
    reply.body = Latin1::toBytes(textEdit_2->toPlainText());
    reply.mode = static_cast<InputMode>(inputModeBox->currentIndex());
    reply.lineEnding = static_cast<LineEnding>(lineEndingBox->currentIndex());
    if (composer->isHttp()) {
        reply.status = response->status();
        reply.headers = response->headers();
    }
    return reply;
}

void ConnectionWindow::addNote(const QString& text)
{
    conversation->addNote(text.toStdString());
}

bool ConnectionWindow::sendFile(const QString& path)
{
    makeWidgets();
    const std::string problem = composer->applyStatus(response->status());
    if (!problem.empty()) {
        showSendError(Latin1::toQString(problem));
        return false;
    }
    std::string error;
    if (conversation->sendFile(QFile::encodeName(path).toStdString(), error) == 0) {
        showSendError(QStringLiteral("Couldn't send %1: %2").arg(path, QString::fromStdString(error)));
        return false;
    }
    showSendError(QString());
    return true;
}

void ConnectionWindow::onSendFileClick()
{
    const QString path = FileDialogs::openFile(this, QStringLiteral("Send File"));
    if (!path.isEmpty())
        sendFile(path);
}

void ConnectionWindow::onCloseSendingClick()
{
    Log::line("closing sending: ", Latin1::toBytes(windowId));
    conversation->closeSending();
    updateSendingEnabled();
}

void ConnectionWindow::onResetClick()
{
    Log::line("resetting connection: ", Latin1::toBytes(windowId));
    conversation->reset();
    updateSendingEnabled();
}

QString ConnectionWindow::saveConversation(const QString& path, SaveFormat format)
{
    const std::string file = QFile::encodeName(path).toStdString();
    std::string error;
    const bool saved = format == SaveFormat::ReceivedBytes ? saveReceivedBytes(getTranscript(), file, error)
                                                           : saveAsText(getTranscript(), file, error);
    if (!saved)
        return QString::fromStdString(error);
    Log::line("conversation saved to ", file);
    return QString();
}

void ConnectionWindow::onSaveConversation()
{
    const QString rawFilter = QStringLiteral("Received bytes, exactly as they arrived (*)");
    const QString textFilter = QStringLiteral("Whole conversation as text (*.txt)");
    QString chosenFilter = rawFilter;
    const QString path =
        FileDialogs::saveFile(this, QStringLiteral("Save Conversation"), {rawFilter, textFilter}, &chosenFilter);
    if (path.isEmpty())
        return;
    const QString error =
        saveConversation(path, chosenFilter == textFilter ? SaveFormat::TranscriptText : SaveFormat::ReceivedBytes);
    if (!error.isEmpty())
        QMessageBox::warning(this, QStringLiteral("Save Conversation"),
                             QStringLiteral("Couldn't save the conversation to %1: %2").arg(path, error));
}
