#include "ConnectionWindow.h"

#include "AttributesEditor.h"
#include "AttributesModel.h"
#include "ByteEscaper.h"
#include "ConnectionRecorder.h"
#include "ConversationFeed.h"
#include "HexView.h"
#include "Http.h"
#include "HttpStatus.h"
#include "Latin1.h"
#include "Log.h"
#include "ProtocolBase.h"
#include "ReplyEncoder.h"
#include "ReplyLibrary.h"
#include "Transcript.h"
#include "TranscriptSaver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QPalette>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLocale>
#include <QMessageBox>

#include <boost/bind/bind.hpp>

#include <algorithm>

namespace
{
// The size a window opens with, before it is fitted into the area.
constexpr QSize defaultSize(882, 662);
// How long one slice of drawing may hold the GUI thread before other events
// get their turn.
constexpr int drawSliceMs = 12;
// Drawing starts at most this often: chunks that arrive closer together are
// drawn together, with one layout and one repaint.
constexpr qint64 frameIntervalMs = 4;
// Drawing starts at most this often while the conversation jumps ahead: a
// flood is unreadable anyway, and each frame takes time from reading it.
constexpr int floodFrameIntervalMs = 50;
constexpr qint64 countsIntervalMs = 250;
// While the transcript's file cannot be written, how often to try again.
constexpr int storageRetryMs = 1000;

QEvent::Type updateEventType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

qint64 monotonicMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

TranscriptLimits& transcriptLimits()
{
    static TranscriptLimits limits;
    return limits;
}

QString grouped(std::uint64_t number)
{
    return QLocale::c().toString(static_cast<qulonglong>(number));
}

const char* const commonStatuses[] = {
    "200 OK", "201 Created", "204 No Content", "301 Moved Permanently", "302 Found", "304 Not Modified",
    "400 Bad Request", "401 Unauthorized", "403 Forbidden", "404 Not Found", "405 Method Not Allowed",
    "408 Request Timeout", "413 Payload Too Large", "429 Too Many Requests", "500 Internal Server Error",
    "502 Bad Gateway", "503 Service Unavailable"};

// Decoded once: every window shows it, and decoding it per window cost as
// much as laying the window out.
// Never destroyed: pixmaps must not outlive the application object.
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

std::size_t receivedChunks(const Transcript& transcript)
{
    return transcript.totals().chunks[static_cast<int>(Direction::Received)];
}
}

ConnectionWindow::ConnectionWindow(QWidget* parent, boost::shared_ptr<ProtocolBase> protocol,
                                   const QString& windowId, Widgets widgets)
    : QWidget(parent)
    , protocol(protocol)
    , transcript(std::make_shared<Transcript>(transcriptLimits()))
    , recorder(std::make_shared<ConnectionRecorder>(protocol, transcript))
{
    connect(this, &ConnectionWindow::onSendLocalDataSignal, this, &ConnectionWindow::onReadLocalDataSlot,
            Qt::QueuedConnection);
    drawTimer.setSingleShot(true);
    connect(&drawTimer, &QTimer::timeout, this, &ConnectionWindow::drawSlice);
    storageRetry.setInterval(storageRetryMs);
    connect(&storageRetry, &QTimer::timeout, this, &ConnectionWindow::retryStorage);

    const QString endpoint = Latin1::toQString(protocol->getEndpointString());
    this->windowId = windowId.isEmpty() ? endpoint : windowId;
    title = "Connection from: " + endpoint;
    resize(defaultSize);
    // A window that may answer by itself is never left unseen.
    autoReplyOnOpen = ReplyLibrary::shared().autoReply().enabled;
    if (widgets == Widgets::Now || autoReplyOnOpen)
        makeWidgets();
    else
        setMinimumSize(formMinimumSize());
    connectProtocol();
}

void ConnectionWindow::makeWidgets()
{
    if (widgetsMade)
        return;
    widgetsMade = true;
    setMinimumSize(0, 0); // from now on the form's layout decides
    setupUi(this);
    setupProtocolAttributesWidget(protocol);
    feed = std::make_unique<ConversationFeed>(transcript, textEdit);

    connect(sendButton, &QPushButton::clicked, this, &ConnectionWindow::onSendButtonClick);
    connect(saveButton, &QPushButton::clicked, this, &ConnectionWindow::onSaveConversation);
    connect(viewModeBox, qOverload<int>(&QComboBox::currentIndexChanged), this,
            [this](int index) { setViewMode(static_cast<ViewMode>(index)); });
    connect(timeStampsBox, &QCheckBox::toggled, this, &ConnectionWindow::setShowTimes);
    setupSendingControls();
    sendButton->setIcon(sendIcon());
    QPalette errorPalette = sendErrorLabel->palette();
    errorPalette.setColor(QPalette::WindowText, QColor(0xb0, 0x00, 0x00));
    sendErrorLabel->setPalette(errorPalette);
    showState(stateText);
    showCounts();
    if (inactiveShown)
        updateSendingEnabled();
    // Children made inside a shown widget would otherwise show only on the
    // next turn of the event loop.
    if (isVisible()) {
        for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (!child->testAttribute(Qt::WA_WState_ExplicitShowHide))
                child->show();
        }
    }
    scheduleDraw();
}

// Qt lets a paint event through only where the widget is not covered, so
// this is the first moment the user may see the window.
void ConnectionWindow::paintEvent(QPaintEvent* event)
{
    if (!widgetsMade)
        emit seenWithoutWidgets();
    QWidget::paintEvent(event);
}

ConversationFeed& ConnectionWindow::getFeed()
{
    makeWidgets();
    return *feed;
}

void ConnectionWindow::showTitle()
{
    setWindowTitle(title);
}

void ConnectionWindow::setTranscriptLimits(const TranscriptLimits& limits)
{
    transcriptLimits() = limits;
}

// The recorder, not the window, listens on the IO threads; the slots track
// it, so a chunk in delivery never reaches freed memory. Its update request
// runs under the recorder's lock, which detach() takes too: `this` is alive
// while it runs, and Qt drops the posted call if the window is gone by then.
void ConnectionWindow::connectProtocol()
{
    recorder->setUpdateRequest([this] { requestUpdate(); });
    using ReadSlot = boost::signals2::signal<void(const std::string&)>::slot_type;
    readConnection = protocol->readDataSignal.connect(
        ReadSlot(&ConnectionRecorder::onReadData, recorder.get(), boost::placeholders::_1).track_foreign(recorder));
    using ResultSlot = boost::signals2::signal<void(std::uint64_t, const std::string&)>::slot_type;
    sendResultConnection = protocol->sendResultSignal.connect(
        ResultSlot(&ConnectionRecorder::onSendResult, recorder.get(), boost::placeholders::_1,
                   boost::placeholders::_2)
            .track_foreign(recorder));
    sentDataConnection = protocol->sentDataSignal.connect(
        ResultSlot(&ConnectionRecorder::onSentData, recorder.get(), boost::placeholders::_1,
                   boost::placeholders::_2)
            .track_foreign(recorder));
}

ConnectionWindow::~ConnectionWindow()
{
    recorder->detach();
    readConnection.disconnect();
    sendResultConnection.disconnect();
    sentDataConnection.disconnect();
    protocol->close();
    Log::line("Connection window destroyed");
    emit onWindowDestroying(windowId);
}

void ConnectionWindow::start()
{
    protocol->start();
    if (widgetsMade && autoReplyBox->isChecked() &&
        autoReplyTriggerBox->currentIndex() == static_cast<int>(ReplyLibrary::AutoReplyTrigger::EachConnection)) {
        if (const SavedReply* reply = chosenSavedReply())
            sendSavedReply(*reply);
        else
            showSendError(QStringLiteral("Auto-reply: no saved reply is chosen"));
    }
}

void ConnectionWindow::setupProtocolAttributesWidget(boost::shared_ptr<ProtocolBase> protocol)
{
    if (!protocol->hasAttributes()) {
        groupBox->hide();
        return;
    }
    groupBox->show();
    attributesEditor = new AttributesEditor(protocol, nullptr);
    gridLayout_5->addWidget(attributesEditor, 0, 0, 1, 2);
    http = dynamic_cast<Http*>(protocol.get());
    if (!http)
        return;
    gridLayout_5->addWidget(new QLabel(QStringLiteral("Status:"), groupBox), 1, 0);
    statusBox = new QComboBox(groupBox);
    statusBox->setEditable(true);
    statusBox->setInsertPolicy(QComboBox::NoInsert);
    for (const char* status : commonStatuses)
        statusBox->addItem(QString::fromLatin1(status));
    statusBox->setToolTip(QStringLiteral("The status line's code and reason, such as 404 Not Found"));
    gridLayout_5->addWidget(statusBox, 1, 1);
    closeAfterResponseBox = new QCheckBox(QStringLiteral("Close after each response"), groupBox);
    gridLayout_5->addWidget(closeAfterResponseBox, 2, 0, 1, 2);
    connect(closeAfterResponseBox, &QCheckBox::toggled, this,
            [this](bool checked) { http->setCloseAfterResponse(checked); });
    connect(statusBox, &QComboBox::currentTextChanged, this, [this] { showSendError(QString()); });
}

void ConnectionWindow::setupSendingControls()
{
    ReplyLibrary& library = ReplyLibrary::shared();
    inputModeBox->setCurrentIndex(static_cast<int>(library.inputMode()));
    lineEndingBox->setCurrentIndex(static_cast<int>(library.lineEnding()));
    lineEndingBox->setEnabled(library.inputMode() == InputMode::Text);
    const ReplyLibrary::AutoReplyChoice& autoReply = library.autoReply();
    autoReplyTriggerBox->setCurrentIndex(static_cast<int>(autoReply.trigger));
    fillSavedReplies();
    savedRepliesBox->setCurrentIndex(savedRepliesBox->findText(Latin1::toQString(autoReply.replyName)));
    // As the choice was when the connection came, however late the widgets come.
    autoReplyBox->setChecked(autoReplyOnOpen);

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
    connect(&library, &ReplyLibrary::repliesChanged, this, &ConnectionWindow::fillSavedReplies);
    connect(sendSavedButton, &QPushButton::clicked, this, &ConnectionWindow::onSendSavedClick);
    connect(saveReplyButton, &QPushButton::clicked, this, &ConnectionWindow::onSaveAsReply);
    connect(deleteReplyButton, &QPushButton::clicked, this, &ConnectionWindow::onDeleteReply);
    connect(sendFileButton, &QPushButton::clicked, this, &ConnectionWindow::onSendFileClick);
    connect(closeSendingButton, &QPushButton::clicked, this, &ConnectionWindow::onCloseSendingClick);
    connect(resetButton, &QPushButton::clicked, this, &ConnectionWindow::onResetClick);
    connect(piecesBox, &QCheckBox::toggled, this, [this] { showSendError(QString()); });
    connect(pieceSizeBox, qOverload<int>(&QSpinBox::valueChanged), this, [this] { showSendError(QString()); });
    connect(autoReplyBox, &QCheckBox::toggled, this, [this](bool on) {
        if (on) {
            answeredChunks = receivedChunks(*transcript);
            moreButton->setChecked(true); // auto-reply is never on unseen
        }
        rememberAutoReply();
    });
    connect(autoReplyTriggerBox, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &ConnectionWindow::rememberAutoReply);
    connect(savedRepliesBox, qOverload<int>(&QComboBox::currentIndexChanged), this, [this] {
        if (!fillingSavedReplies && autoReplyBox->isChecked())
            rememberAutoReply();
    });
    setupMoreControls();
}

// The rows under the input (saved replies, auto-reply, files, pieces, faults)
// start folded as the user last left them, and open by themselves while
// auto-reply is on, so that a window never answers on its own unseen. Folded
// rows are never laid out or drawn: a burst of new windows costs less.
void ConnectionWindow::setupMoreControls()
{
    const bool shown = ReplyLibrary::shared().moreControlsShown() || autoReplyBox->isChecked();
    moreButton->setChecked(shown);
    showMoreControls(shown);
    connect(moreButton, &QToolButton::toggled, this, &ConnectionWindow::showMoreControls);
    connect(moreButton, &QToolButton::clicked, this,
            [](bool shown) { ReplyLibrary::shared().setMoreControlsShown(shown); });
}

void ConnectionWindow::showMoreControls(bool shown)
{
    moreButton->setArrowType(shown ? Qt::DownArrow : Qt::RightArrow);
    moreControls->setVisible(shown);
}

void ConnectionWindow::fillSavedReplies()
{
    fillingSavedReplies = true;
    const QString chosen = savedRepliesBox->currentText();
    savedRepliesBox->clear();
    for (const SavedReply& reply : ReplyLibrary::shared().replies().all())
        savedRepliesBox->addItem(Latin1::toQString(reply.name));
    savedRepliesBox->setCurrentIndex(savedRepliesBox->findText(chosen));
    fillingSavedReplies = false;
    deleteReplyButton->setEnabled(savedRepliesBox->count() > 0);
    updateSendingEnabled();
}

void ConnectionWindow::rememberAutoReply()
{
    ReplyLibrary::AutoReplyChoice choice;
    choice.enabled = autoReplyBox->isChecked();
    choice.trigger = static_cast<ReplyLibrary::AutoReplyTrigger>(autoReplyTriggerBox->currentIndex());
    choice.replyName = Latin1::toBytes(savedRepliesBox->currentText());
    ReplyLibrary::shared().setAutoReply(choice);
}

void ConnectionWindow::showSendError(const QString& text)
{
    if (sendErrorLabel->text() != text)
        sendErrorLabel->setText(text);
}

const SavedReply* ConnectionWindow::chosenSavedReply() const
{
    return ReplyLibrary::shared().replies().find(Latin1::toBytes(savedRepliesBox->currentText()));
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

QString ConnectionWindow::getWindowId() const
{
    return windowId;
}

void ConnectionWindow::closeSession()
{
    Log::line("clossing session: ", Latin1::toBytes(windowId));
    protocol->close();
}

// IO thread, under the recorder's lock. A plain event rather than a queued
// functor: the event is made and read inside Qt, whose event queue is the
// hand-off, and carries nothing of ours across threads. Qt drops it if the
// window is gone by the time it would be delivered.
void ConnectionWindow::requestUpdate()
{
    QCoreApplication::postEvent(this, new QEvent(updateEventType()));
}

bool ConnectionWindow::event(QEvent* event)
{
    if (event->type() != updateEventType())
        return QWidget::event(event);
    scheduleDraw();
    return true;
}

void ConnectionWindow::takeEvents()
{
    const ConnectionRecorder::Events events = recorder->takeEvents();
    ended = ended || events.ended;
    for (const ConnectionRecorder::SendResult& result : events.sendResults)
        showSendResult(result);
    if (events.readingPaused && !readingPaused) {
        readingPaused = true;
        showState(QStringLiteral("Reading from this client is paused: the transcript file cannot be written "
                                 "(%1). Reading goes on when there is room again.")
                      .arg(QString::fromStdString(transcript->storageError())));
        storageRetry.start();
    }
}

// The recorder's news wait for the next slice, which takes them: the
// recorder posts nothing more until then, so chunks that arrive in between
// cost the GUI thread nothing, also in a window that has no widgets yet.
void ConnectionWindow::scheduleDraw()
{
    if (drawTimer.isActive())
        return;
    const qint64 sinceLast = lastDrawMs < 0 ? frameIntervalMs : monotonicMs() - lastDrawMs;
    drawTimer.start(static_cast<int>(qMax<qint64>(0, frameIntervalMs - sinceLast)));
}

void ConnectionWindow::drawSlice()
{
    lastDrawMs = monotonicMs();
    takeEvents();
    if (!widgetsMade) {
        // Nothing to draw yet: only the end of the connection shows, in the title.
        if (ended && !inactiveShown)
            markInactive();
        return;
    }
    answerNewChunks();
    bool caughtUp = true;
    if (viewMode == ViewMode::Hex)
        hexView->refresh();
    else
        caughtUp = feed->drawFor(drawSliceMs);
    scheduleCounts();
    if (!caughtUp) {
        // Comes back through a zero timer, not a posted call: Qt's event loop
        // delivers all posted events before it looks at its timers. While the
        // data comes faster than it can be drawn, some thirty frames a second
        // show its newest part, and the rest of the time goes to reading it.
        drawTimer.start(feed->jumpedInLastSlice() ? floodFrameIntervalMs : 0);
        return;
    }
    if (ended && !inactiveShown)
        markInactive();
}

// Auto-reply answers every chunk received since it last looked, each with one reply.
void ConnectionWindow::answerNewChunks()
{
    const std::size_t received = receivedChunks(*transcript);
    if (received <= answeredChunks)
        return;
    const std::size_t unanswered = received - answeredChunks;
    answeredChunks = received;
    if (!autoReplyBox->isChecked() ||
        autoReplyTriggerBox->currentIndex() != static_cast<int>(ReplyLibrary::AutoReplyTrigger::EachChunk))
        return;
    const SavedReply* reply = chosenSavedReply();
    if (!reply) {
        showSendError(QStringLiteral("Auto-reply: no saved reply is chosen"));
        return;
    }
    const SavedReply copy = *reply;
    for (std::size_t i = 0; i < unanswered && protocol->canSend(); ++i)
        sendSavedReply(copy);
}

bool ConnectionWindow::isViewCaughtUp() const
{
    if (!widgetsMade)
        return false;
    return viewMode == ViewMode::Hex || feed->isCaughtUp();
}

// A new text makes the label and the widgets under it paint again: at most
// every countsIntervalMs, the latest counts.
void ConnectionWindow::scheduleCounts()
{
    if (countsPending)
        return;
    const qint64 sinceLast = lastCountsMs < 0 ? countsIntervalMs : monotonicMs() - lastCountsMs;
    if (sinceLast >= countsIntervalMs) {
        showCounts();
        return;
    }
    countsPending = true;
    QTimer::singleShot(static_cast<int>(countsIntervalMs - sinceLast), this, [this] {
        countsPending = false;
        showCounts();
    });
}

void ConnectionWindow::showCounts()
{
    if (!widgetsMade)
        return;
    lastCountsMs = monotonicMs();
    const TranscriptTotals totals = transcript->totals();
    const int received = static_cast<int>(Direction::Received);
    const int sent = static_cast<int>(Direction::Sent);
    const QString text = QStringLiteral("Received %1 bytes in %2 chunks, sent %3 bytes in %4")
                             .arg(grouped(totals.bytes[received]), grouped(totals.chunks[received]),
                                  grouped(totals.bytes[sent]), grouped(totals.chunks[sent]));
    if (countsLabel->text() != text)
        countsLabel->setText(text);
}

void ConnectionWindow::showState(const QString& text)
{
    stateText = text;
    if (!widgetsMade)
        return;
    stateLabel->setText(text);
    stateLabel->setVisible(!text.isEmpty());
}

void ConnectionWindow::retryStorage()
{
    if (!transcript->retryStorage())
        return;
    storageRetry.stop();
    readingPaused = false;
    showState(QString());
    recorder->resumeReading();
}

// The client has ended its sending. The connection may still take a reply
// (many clients shut down their side and wait for the answer), so the input
// stays usable for as long as it can.
void ConnectionWindow::markInactive()
{
    inactiveShown = true;
    updateSendingEnabled();
    emit onWindowInactive(windowId);
}

void ConnectionWindow::updateSendingEnabled()
{
    if (!widgetsMade)
        return;
    const bool canSend = protocol->canSend();
    for (QWidget* control : {static_cast<QWidget*>(sendButton), static_cast<QWidget*>(textEdit_2),
                             static_cast<QWidget*>(sendFileButton), static_cast<QWidget*>(closeSendingButton)})
        control->setEnabled(canSend);
    sendSavedButton->setEnabled(canSend && savedRepliesBox->count() > 0);
    // A reset is still possible while the socket is open, after Close Sending too.
    resetButton->setEnabled(!connectionReset && (!ended || canSend));
}

void ConnectionWindow::onReadLocalDataSlot(QString data)
{
    std::string bytes = Latin1::toBytes(data);
    static const std::string logPrefix = "onReadLocalDataSlot:";
    Log::writeLine(logPrefix, bytes.data(), bytes.size(), appendEscaped);
    if (repliesToRecord.empty()) {
        transcript->append(Direction::Sent, bytes.data(), bytes.size(), Transcript::nowUs());
        scheduleDraw();
        return;
    }
    const ReplyToRecord reply = repliesToRecord.front();
    repliesToRecord.pop_front();
    sends[reply.id].chunk =
        reply.whenWritten ? recorder->recordWhenWritten(reply.id, std::move(bytes))
                          : transcript->append(Direction::Sent, bytes.data(), bytes.size(), Transcript::nowUs());
    const auto early = std::find_if(resultsBeforeRecord.begin(), resultsBeforeRecord.end(),
                                    [&](const auto& result) { return result.id == reply.id; });
    if (early != resultsBeforeRecord.end()) {
        const ConnectionRecorder::SendResult result = *early;
        resultsBeforeRecord.erase(early);
        showSendResult(result);
    }
    scheduleDraw();
}

// The reply goes into the transcript through the queued local-data signal.
// Its result may still come first (through an update posted before the
// reply), and then waits for it: see showSendResult.
// Invalid input sends nothing and stays in the input, the error beside it.
void ConnectionWindow::onSendButtonClick()
{
    const EncodedReply encoded =
        ReplyEncoder::encode(Latin1::toBytes(textEdit_2->toPlainText()), static_cast<InputMode>(inputModeBox->currentIndex()),
                             static_cast<LineEnding>(lineEndingBox->currentIndex()));
    if (!encoded.ok()) {
        showSendError(QString::fromStdString(encoded.error));
        return;
    }
    if (!applyHttpStatus() || !sendReplyBytes(protocol->frame(encoded.bytes)))
        return;
    textEdit_2->clear();
    showSendError(QString());
}

bool ConnectionWindow::applyHttpStatus()
{
    if (!http)
        return true;
    const std::string status = Latin1::toBytes(statusBox->currentText());
    const std::string problem = HttpStatus::problem(status);
    if (!problem.empty()) {
        showSendError(Latin1::toQString(problem));
        return false;
    }
    http->setStatus(status);
    return true;
}

bool ConnectionWindow::sendReplyBytes(std::string framed)
{
    const bool inPieces = piecesBox->isChecked();
    const int pieceSize = pieceSizeBox->value();
    if (inPieces && pieceSize <= 0) {
        showSendError(QStringLiteral("Send in pieces: a piece must be at least 1 byte"));
        return false;
    }
    Log::line("emitting onSendLocalDataSignal");
    emit onSendLocalDataSignal(Latin1::toQString(framed));
    SendRecord record;
    std::uint64_t id = 0;
    if (inPieces) {
        const int delayMs = pieceDelayBox->value();
        const std::size_t pieces = (framed.size() + pieceSize - 1) / pieceSize;
        record.piecesNote =
            QStringLiteral("[Sent in %1 pieces of up to %2 bytes, %3 ms apart]").arg(pieces).arg(pieceSize).arg(delayMs);
        id = protocol->sendFramedInPieces(std::move(framed), static_cast<std::size_t>(pieceSize),
                                          std::chrono::milliseconds(delayMs));
    } else {
        id = protocol->sendFramed(std::move(framed));
    }
    sends[id] = record;
    repliesToRecord.push_back(ReplyToRecord{id, isFileGoingOut()});
    return true;
}

bool ConnectionWindow::sendSavedReply(const SavedReply& reply)
{
    const EncodedReply encoded = ReplyEncoder::encode(reply.body, reply.mode, reply.lineEnding);
    if (!encoded.ok()) {
        showSendError(QString::fromStdString(encoded.error));
        return false;
    }
    return sendReplyBytes(http ? http->frameResponse(reply.status, reply.headers, encoded.bytes)
                               : protocol->frame(encoded.bytes));
}

void ConnectionWindow::onSendSavedClick()
{
    if (const SavedReply* reply = chosenSavedReply()) {
        const SavedReply copy = *reply;
        if (sendSavedReply(copy))
            showSendError(QString());
    }
}

void ConnectionWindow::onSaveAsReply()
{
    bool accepted = false;
    const QString name = QInputDialog::getText(this, QStringLiteral("Save as Reply"),
                                               QStringLiteral("Name of the saved reply:"), QLineEdit::Normal,
                                               savedRepliesBox->currentText(), &accepted);
    if (!accepted)
        return;
    SavedReply reply;
    reply.name = Latin1::toBytes(name.trimmed());
    reply.body = Latin1::toBytes(textEdit_2->toPlainText());
    reply.mode = static_cast<InputMode>(inputModeBox->currentIndex());
    reply.lineEnding = static_cast<LineEnding>(lineEndingBox->currentIndex());
    if (http) {
        reply.status = Latin1::toBytes(statusBox->currentText());
        reply.headers = attributesEditor->getModel()->getAttributes();
    }
    const QString error = ReplyLibrary::shared().saveReply(reply);
    if (!error.isEmpty()) {
        showSendError(QStringLiteral("Not saved: %1").arg(error));
        return;
    }
    savedRepliesBox->setCurrentIndex(savedRepliesBox->findText(Latin1::toQString(reply.name)));
    showSendError(QString());
}

void ConnectionWindow::onDeleteReply()
{
    ReplyLibrary::shared().removeReply(Latin1::toBytes(savedRepliesBox->currentText()));
}

void ConnectionWindow::showSendResult(const ConnectionRecorder::SendResult& result)
{
    // A note about a reply goes after the reply, once it is in the transcript.
    const bool replyUnrecorded = std::any_of(repliesToRecord.cbegin(), repliesToRecord.cend(),
                                             [&](const ReplyToRecord& reply) { return reply.id == result.id; });
    if (replyUnrecorded) {
        resultsBeforeRecord.push_back(result);
        return;
    }
    const auto sent = sends.find(result.id);
    if (sent == sends.end())
        return;
    const SendRecord record = sent->second;
    sends.erase(sent);
    const std::size_t chunk = result.chunk != ConnectionRecorder::noChunk ? result.chunk : record.chunk;
    const QString reason = QString::fromStdString(result.error);
    if (!record.fileName.isEmpty()) {
        addNote(chunk, result.error.empty()
                           ? QStringLiteral("[Sent the file %1: %2 bytes]").arg(record.fileName, grouped(record.fileSize))
                           : QStringLiteral("[The file %1 was not sent whole: %2]").arg(record.fileName, reason));
    } else if (!result.error.empty()) {
        addNote(chunk, QStringLiteral("[The reply above was not sent: %1]").arg(reason));
    } else if (!record.piecesNote.isEmpty()) {
        addNote(chunk, record.piecesNote);
    }
    updateSendingEnabled();
}

bool ConnectionWindow::isFileGoingOut() const
{
    return std::any_of(sends.cbegin(), sends.cend(),
                       [](const auto& send) { return !send.second.fileName.isEmpty(); });
}

void ConnectionWindow::addNote(std::size_t chunk, const QString& text)
{
    if (chunk == ConnectionRecorder::noChunk) {
        const std::size_t count = transcript->chunkCount();
        chunk = count > 0 ? count - 1 : ConversationFeed::beforeFirstChunk;
    }
    feed->addChunkNote(chunk, text);
    if (chunk != ConversationFeed::beforeFirstChunk) {
        hexNotes.emplace_back(chunk, text);
        if (hexView)
            hexView->addChunkNote(chunk, text);
    }
    scheduleDraw();
}

bool ConnectionWindow::sendFile(const QString& path)
{
    makeWidgets();
    if (!applyHttpStatus())
        return false;
    std::string error;
    const std::uint64_t id = protocol->sendFile(QFile::encodeName(path).toStdString(), error);
    if (id == 0) {
        showSendError(QStringLiteral("Couldn't send %1: %2").arg(path, QString::fromStdString(error)));
        return false;
    }
    Log::line("sending file ", QFile::encodeName(path).toStdString());
    SendRecord& record = sends[id];
    record.fileName = QFileInfo(path).fileName();
    record.fileSize = static_cast<std::uint64_t>(QFileInfo(path).size());
    showSendError(QString());
    return true;
}

void ConnectionWindow::onSendFileClick()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Send File"));
    if (!path.isEmpty())
        sendFile(path);
}

void ConnectionWindow::onCloseSendingClick()
{
    Log::line("closing sending: ", Latin1::toBytes(windowId));
    protocol->closeSending();
    addNote(ConnectionRecorder::noChunk,
            QStringLiteral("[This side closed its sending: the client reads the end of the stream once "
                           "everything above has gone out]"));
    updateSendingEnabled();
}

void ConnectionWindow::onResetClick()
{
    Log::line("resetting connection: ", Latin1::toBytes(windowId));
    protocol->resetConnection();
    connectionReset = true;
    addNote(ConnectionRecorder::noChunk, QStringLiteral("[This side reset the connection]"));
    updateSendingEnabled();
}

void ConnectionWindow::setViewMode(ViewMode mode)
{
    makeWidgets();
    viewMode = mode;
    if (viewModeBox->currentIndex() != static_cast<int>(mode))
        viewModeBox->setCurrentIndex(static_cast<int>(mode));
    if (mode == ViewMode::Hex) {
        if (!hexView) {
            hexView = new HexView(transcript, this);
            for (const auto& [chunk, text] : hexNotes)
                hexView->addChunkNote(chunk, text);
            hexView->setShowTimes(timeStampsBox->isChecked());
            gridLayout->addWidget(hexView, 2, 0, 1, 2);
        }
        hexView->refresh();
        textEdit->hide();
        hexView->show();
        return;
    }
    if (hexView)
        hexView->hide();
    textEdit->show();
    textEdit->setStyle(mode == ViewMode::ControlBytes ? RemoteLocalDataViewer::Style::ControlBytes
                                                      : RemoteLocalDataViewer::Style::Text);
    feed->redraw();
    scheduleDraw();
}

void ConnectionWindow::setShowTimes(bool show)
{
    makeWidgets();
    if (timeStampsBox->isChecked() != show)
        timeStampsBox->setChecked(show);
    textEdit->setShowTimes(show);
    if (hexView)
        hexView->setShowTimes(show);
    if (viewMode != ViewMode::Hex) {
        feed->redraw();
        scheduleDraw();
    }
}

QString ConnectionWindow::saveConversation(const QString& path, SaveFormat format)
{
    const std::string file = QFile::encodeName(path).toStdString();
    std::string error;
    const bool saved = format == SaveFormat::ReceivedBytes ? saveReceivedBytes(*transcript, file, error)
                                                           : saveAsText(*transcript, file, error);
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
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Conversation"), QString(),
                                                      rawFilter + QStringLiteral(";;") + textFilter, &chosenFilter);
    if (path.isEmpty())
        return;
    const QString error =
        saveConversation(path, chosenFilter == textFilter ? SaveFormat::TranscriptText : SaveFormat::ReceivedBytes);
    if (!error.isEmpty())
        QMessageBox::warning(this, QStringLiteral("Save Conversation"),
                             QStringLiteral("Couldn't save the conversation to %1: %2").arg(path, error));
}
