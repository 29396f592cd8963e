#include "ConnectionWindow.h"

#include "AttributesEditor.h"
#include "Latin1.h"
#include "Log.h"
#include "ProtocolBase.h"
#include "RemoteDataQueue.h"

#include <QElapsedTimer>

#include <boost/bind/bind.hpp>

namespace
{
// How long one drain may hold the GUI thread before other events get their turn.
constexpr qint64 drainSliceMs = 8;
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

    const QString endpoint = Latin1::toQString(protocol->getEndpointString());
    this->windowId = windowId.isEmpty() ? endpoint : windowId;
    setWindowTitle("Connection from: " + endpoint);

    // The queue, not the window, listens on the IO threads; the slot tracks
    // the queue, so a chunk in delivery never reaches freed memory.
    remoteData->setDrainRequest([this] { requestDrain(); });
    using Slot = boost::signals2::signal<void(std::string)>::slot_type;
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
    requestDrain();
}

// Returns false when nothing is left to show for now.
bool ConnectionWindow::showNextPiece()
{
    if (shownOffset < shownChunk.size()) {
        shownOffset += textEdit->appendPiece(QStringView(shownChunk).mid(shownOffset), false,
                                             textEdit->getRemoteFormat());
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
    shownOffset = textEdit->appendPiece(shownChunk, true, textEdit->getRemoteFormat());
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
