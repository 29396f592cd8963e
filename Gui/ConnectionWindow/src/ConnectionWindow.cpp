#include "ConnectionWindow.h"

#include "AttributesEditor.h"
#include "ByteEscaper.h"
#include "ConnectionRecorder.h"
#include "ConversationFeed.h"
#include "HexView.h"
#include "Latin1.h"
#include "Log.h"
#include "ProtocolBase.h"
#include "Transcript.h"
#include "TranscriptSaver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLocale>
#include <QMessageBox>

#include <boost/bind/bind.hpp>

namespace
{
// How long one slice of drawing may hold the GUI thread before other events
// get their turn.
constexpr int drawSliceMs = 12;
// Drawing starts at most this often: chunks that arrive closer together are
// drawn together, with one layout and one repaint.
constexpr qint64 frameIntervalMs = 4;
// While the transcript's file cannot be written, how often to try again.
constexpr int storageRetryMs = 1000;

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
}

ConnectionWindow::ConnectionWindow(QWidget* parent, boost::shared_ptr<ProtocolBase> protocol,
                                   const QString& windowId)
    : QWidget(parent)
    , protocol(protocol)
    , transcript(std::make_shared<Transcript>(transcriptLimits()))
    , recorder(std::make_shared<ConnectionRecorder>(protocol, transcript))
{
    setupUi(this);
    setupProtocolAttributesWidget(protocol);
    feed = std::make_unique<ConversationFeed>(transcript, textEdit);

    connect(this, &ConnectionWindow::onSendLocalDataSignal, this, &ConnectionWindow::onReadLocalDataSlot,
            Qt::QueuedConnection);
    connect(sendButton, &QPushButton::clicked, this, &ConnectionWindow::onSendButtonClick);
    connect(saveButton, &QPushButton::clicked, this, &ConnectionWindow::onSaveConversation);
    connect(viewModeBox, qOverload<int>(&QComboBox::currentIndexChanged), this,
            [this](int index) { setViewMode(static_cast<ViewMode>(index)); });
    connect(timeStampsBox, &QCheckBox::toggled, this, &ConnectionWindow::setShowTimes);
    drawTimer.setSingleShot(true);
    connect(&drawTimer, &QTimer::timeout, this, &ConnectionWindow::drawSlice);
    storageRetry.setInterval(storageRetryMs);
    connect(&storageRetry, &QTimer::timeout, this, &ConnectionWindow::retryStorage);

    const QString endpoint = Latin1::toQString(protocol->getEndpointString());
    this->windowId = windowId.isEmpty() ? endpoint : windowId;
    setWindowTitle("Connection from: " + endpoint);
    showCounts();
    connectProtocol();
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
}

ConnectionWindow::~ConnectionWindow()
{
    recorder->detach();
    readConnection.disconnect();
    sendResultConnection.disconnect();
    protocol->close();
    Log::line("Connection window destroyed");
    emit onWindowDestroying(windowId);
}

void ConnectionWindow::start()
{
    protocol->start();
}

void ConnectionWindow::setupProtocolAttributesWidget(boost::shared_ptr<ProtocolBase> protocol)
{
    if (!protocol->hasAttributes()) {
        groupBox->hide();
        return;
    }
    groupBox->show();
    gridLayout_5->addWidget(new AttributesEditor(protocol, nullptr));
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

// IO thread, under the recorder's lock.
void ConnectionWindow::requestUpdate()
{
    QMetaObject::invokeMethod(this, [this] { catchUp(); }, Qt::QueuedConnection);
}

void ConnectionWindow::catchUp()
{
    takeEvents();
    scheduleDraw();
}

void ConnectionWindow::takeEvents()
{
    const ConnectionRecorder::Events events = recorder->takeEvents();
    ended = ended || events.ended;
    for (const auto& [id, error] : events.sendResults)
        showSendResult(id, error);
    if (events.readingPaused && !readingPaused) {
        readingPaused = true;
        showState(QStringLiteral("Reading from this client is paused: the transcript file cannot be written "
                                 "(%1). Reading goes on when there is room again.")
                      .arg(QString::fromStdString(transcript->storageError())));
        storageRetry.start();
    }
}

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
    bool caughtUp = true;
    if (viewMode == ViewMode::Hex)
        hexView->refresh();
    else
        caughtUp = feed->drawFor(drawSliceMs);
    showCounts();
    if (!caughtUp) {
        // Comes back through a zero timer, not a posted call: Qt's event loop
        // delivers all posted events before it looks at its timers.
        drawTimer.start(0);
        return;
    }
    if (ended && !inactiveShown)
        markInactive();
}

bool ConnectionWindow::isViewCaughtUp() const
{
    return viewMode == ViewMode::Hex || feed->isCaughtUp();
}

void ConnectionWindow::showCounts()
{
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
    if (!protocol->canSend()) {
        sendButton->setEnabled(false);
        textEdit_2->setEnabled(false);
    }
    emit onWindowInactive(windowId);
}

void ConnectionWindow::onReadLocalDataSlot(QString data)
{
    const std::string bytes = Latin1::toBytes(data);
    std::string line("onReadLocalDataSlot:");
    appendEscaped(line, bytes.data(), bytes.size());
    Log::writeLine(line);
    const std::size_t chunk = transcript->append(Direction::Sent, bytes.data(), bytes.size(), Transcript::nowUs());
    if (!sendIdsToRecord.empty()) {
        chunkOfSend[sendIdsToRecord.front()] = chunk;
        sendIdsToRecord.pop_front();
    }
    scheduleDraw();
}

// The reply goes into the transcript through the queued local-data signal,
// which is posted before the write can complete: its result always finds it.
void ConnectionWindow::onSendButtonClick()
{
    Log::line("emitting onSendLocalDataSignal");
    std::string framed = protocol->frame(Latin1::toBytes(textEdit_2->toPlainText()));
    emit onSendLocalDataSignal(Latin1::toQString(framed));
    sendIdsToRecord.push_back(protocol->sendFramed(std::move(framed)));
    textEdit_2->clear();
}

void ConnectionWindow::showSendResult(std::uint64_t id, const std::string& error)
{
    const auto sent = chunkOfSend.find(id);
    if (sent == chunkOfSend.end())
        return;
    const std::size_t chunk = sent->second;
    chunkOfSend.erase(sent);
    if (error.empty())
        return;
    const QString reason = QString::fromStdString(error);
    feed->addChunkNote(chunk, QStringLiteral("[The reply above was not sent: %1]").arg(reason));
    if (hexView)
        hexView->setChunkNote(chunk, QStringLiteral("not sent: %1").arg(reason));
    if (!protocol->canSend()) {
        sendButton->setEnabled(false);
        textEdit_2->setEnabled(false);
    }
}

void ConnectionWindow::setViewMode(ViewMode mode)
{
    viewMode = mode;
    if (viewModeBox->currentIndex() != static_cast<int>(mode))
        viewModeBox->setCurrentIndex(static_cast<int>(mode));
    if (mode == ViewMode::Hex) {
        if (!hexView) {
            hexView = new HexView(transcript, this);
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
