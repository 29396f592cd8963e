#include "ConnectionWindow.h"

#include "AttributesEditor.h"
#include "Latin1.h"
#include "Log.h"
#include "ProtocolBase.h"
#include "RemoteDataQueue.h"

#include <QElapsedTimer>
#include <QTextBlock>
#include <QTextDocument>

#include <boost/bind/bind.hpp>

namespace
{
// How long one drain may hold the GUI thread before other events get their
// turn. Each turn of the event loop in between repaints the conversation, which
// follows its end: with 8 ms slices (and 5 ms pieces) a flood of 80-column text
// was shown at 0.89 of the rate of a bare QTextEdit, with 12 ms slices and 8 ms
// pieces at 0.96, while a 10 ms timer still fired at most ~15 ms late.
constexpr qint64 drainSliceMs = 12;

// How long inserting one piece should take, layout included. A slice ends
// only after its last piece, so a piece must be short next to the slice: a
// 64 KB piece of 80-column text takes ~13 ms in a wide conversation and ~40 ms
// in a narrow one where lines wrap. Much shorter pieces cost more in all, each
// insertion having a fixed cost of its own.
constexpr double pieceBudgetNs = 8e6;
// No shorter pieces than this.
constexpr qsizetype minPieceLength = 4 * 1024;
// Pieces shorter than this say more about that fixed cost than about the
// cost per character, and do not update the estimate.
constexpr qsizetype minMeasuredLength = 1024;
// The cost assumed before anything has been measured (about 5 MB/s).
constexpr double initialNsPerCharacter = 200;
}

ConnectionWindow::ConnectionWindow(QWidget* parent, boost::shared_ptr<ProtocolBase> protocol,
                                   const QString& windowId)
    : QWidget(parent)
    , protocol(protocol)
    , remoteData(new RemoteDataQueue(protocol))
{
    setupUi(this);
    setupProtocolAttributesWidget(protocol);

    connect(this, &ConnectionWindow::onSendLocalDataSignal, this, &ConnectionWindow::onReadLocalDataSlot,
            Qt::QueuedConnection);
    connect(sendButton, &QPushButton::clicked, this, &ConnectionWindow::onSendButtonClick);
    continueDrain.setSingleShot(true);
    continueDrain.setInterval(0);
    connect(&continueDrain, &QTimer::timeout, this, &ConnectionWindow::drainRemoteData);

    const QString endpoint = Latin1::toQString(protocol->getEndpointString());
    this->windowId = windowId.isEmpty() ? endpoint : windowId;
    setWindowTitle("Connection from: " + endpoint);

    // The queue, not the window, listens on the IO threads; the slot tracks
    // the queue, so a chunk in delivery never reaches freed memory.
    remoteData->setDrainRequest([this] { requestDrain(); });
    using Slot = boost::signals2::signal<void(const std::string&)>::slot_type;
    readConnection = protocol->readDataSignal.connect(
        Slot(&RemoteDataQueue::onReadData, remoteData.get(), boost::placeholders::_1).track(remoteData));
}

ConnectionWindow::~ConnectionWindow()
{
    remoteData->detach();
    readConnection.disconnect();
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

qsizetype ConnectionWindow::getPendingBytes() const
{
    return remoteData->pendingBytes() + (shownChunk.size() - shownOffset);
}

void ConnectionWindow::closeSession()
{
    Log::line("clossing session: ", Latin1::toBytes(windowId));
    protocol->close();
}

// Runs on an IO thread with the queue's lock held; the window's destructor
// detaches the queue under the same lock, so `this` is alive here. Qt drops
// the posted call if the window is gone by the time it would run.
void ConnectionWindow::requestDrain()
{
    QMetaObject::invokeMethod(this, [this] { drainRemoteData(); }, Qt::QueuedConnection);
}

// Shows received data for one short time slice, then lets the event loop run
// and comes back, so that a flooding client cannot freeze the program.
void ConnectionWindow::drainRemoteData()
{
    QElapsedTimer slice;
    slice.start();
    do {
        if (!showNextPiece())
            return;
    } while (slice.elapsed() < drainSliceMs);
    // Comes back through a zero timer, not a posted call: Qt's event loop
    // delivers all posted events before it looks at its timers, so a posted
    // continuation ran a second slice in a row whenever a timer was due.
    continueDrain.start();
}

// Returns false when nothing is left to show for now.
bool ConnectionWindow::showNextPiece()
{
    if (shownOffset < shownChunk.size()) {
        appendRemotePiece(false);
        return true;
    }
    QString chunk;
    switch (remoteData->takeNext(chunk)) {
    case RemoteDataQueue::Next::Chunk:
        beginRemoteChunk(std::move(chunk));
        return true;
    case RemoteDataQueue::Next::End:
        markInactive();
        return true;
    case RemoteDataQueue::Next::Empty:
        break;
    }
    shownChunk.clear();
    shownOffset = 0;
    return false;
}

void ConnectionWindow::beginRemoteChunk(QString data)
{
    Log::line("onReadRemoteDataSlot:", Latin1::toBytes(data));
    shownChunk = std::move(data);
    shownOffset = 0;
    appendRemotePiece(true);
}

// Inserts the next piece of the chunk being shown, sized to take about
// pieceBudgetNs, and learns from how long it took.
void ConnectionWindow::appendRemotePiece(bool startsParagraph)
{
    QTextDocument* document = textEdit->document();
    // Inserting lays out the new text and, again, the line it continues.
    const qsizetype continued = startsParagraph ? 0 : document->lastBlock().length() - 1;
    QStringView rest = QStringView(shownChunk).mid(shownOffset);
    qsizetype pieceLimit = nextPieceLength(continued);
    // The viewer never cuts between the CR and the LF of a pair; neither does this.
    if (pieceLimit < rest.size() && pieceLimit > 1 && rest[pieceLimit - 1] == QLatin1Char('\r')
        && rest[pieceLimit] == QLatin1Char('\n'))
        --pieceLimit;
    QElapsedTimer timer;
    timer.start();
    const qsizetype length = textEdit->appendPiece(rest.first(qMin(pieceLimit, rest.size())), startsParagraph,
                                                   textEdit->getRemoteFormat());
    shownOffset += length;
    shownBytes += length;

    const qsizetype laidOut = continued + length;
    if (laidOut >= minMeasuredLength) {
        double sample = static_cast<double>(timer.nsecsElapsed()) / static_cast<double>(laidOut);
        // A piece that took far longer than its length says (the viewer
        // dropped its oldest lines, or the process lost the CPU) moves the
        // estimate a little only.
        if (insertNsPerCharacter > 0)
            sample = qMin(sample, 4 * insertNsPerCharacter);
        insertNsPerCharacter = insertNsPerCharacter > 0 ? 0.75 * insertNsPerCharacter + 0.25 * sample : sample;
    }
}

qsizetype ConnectionWindow::nextPieceLength(qsizetype continuedLength) const
{
    const double nsPerCharacter = insertNsPerCharacter > 0 ? insertNsPerCharacter : initialNsPerCharacter;
    const double fits = pieceBudgetNs / nsPerCharacter - static_cast<double>(continuedLength);
    if (fits >= static_cast<double>(RemoteLocalDataViewer::maxPieceLength))
        return RemoteLocalDataViewer::maxPieceLength;
    if (fits >= static_cast<double>(minPieceLength))
        return static_cast<qsizetype>(fits);
    // A line that long is laid out anew with every piece that continues it,
    // however short the piece: no length keeps within the budget, and the
    // longest pieces lay it out again the fewest times.
    return continuedLength >= minPieceLength ? RemoteLocalDataViewer::maxPieceLength : minPieceLength;
}

void ConnectionWindow::markInactive()
{
    sendButton->setEnabled(false);
    textEdit_2->setEnabled(false);
    emit onWindowInactive(windowId);
}

void ConnectionWindow::onReadLocalDataSlot(QString data)
{
    Log::line("onReadLocalDataSlot:", Latin1::toBytes(data));
    textEdit->appendLocalData(data);
}

void ConnectionWindow::onSendButtonClick()
{
    Log::line("emitting onSendLocalDataSignal");
    const std::string sent = protocol->send(Latin1::toBytes(textEdit_2->toPlainText()));
    emit onSendLocalDataSignal(Latin1::toQString(sent));
    textEdit_2->clear();
}
