#pragma once

#include "ui_ConnectionWindowForm.h"

#include <QString>
#include <QTimer>
#include <QWidget>

#include <boost/shared_ptr.hpp>
#include <boost/signals2/connection.hpp>

class ProtocolBase;
class RemoteDataQueue;

// One connection: the conversation, the input and the Send button, and the
// protocol attributes editor when the protocol has attributes.
class ConnectionWindow : public QWidget, public Ui::ConnectionWindowForm
{
    Q_OBJECT

public:
    // windowId identifies the window to its manager; empty means the
    // connection's endpoint text.
    ConnectionWindow(QWidget* parent, boost::shared_ptr<ProtocolBase> protocol,
                     const QString& windowId = QString());
    ~ConnectionWindow() override;

    // Starts the connection reading. The owner connects to this window's
    // signals first, so that not even the end of a connection that closes at
    // once goes unreported.
    void start();
    void closeSession();
    QString getWindowId() const;
    void setupProtocolAttributesWidget(boost::shared_ptr<ProtocolBase> protocol);

    // Received bytes not yet shown: waiting in the queue or in the chunk being shown.
    qsizetype getPendingBytes() const;
    // Received bytes shown so far, whatever the conversation still holds.
    qint64 getShownBytes() const { return shownBytes; }

signals:
    void onSendLocalDataSignal(QString data);
    void onWindowDestroying(QString windowId);
    void onWindowInactive(QString windowId);

public slots:
    void onReadLocalDataSlot(QString data);
    void onSendButtonClick();

private:
    void requestDrain();
    void drainRemoteData();
    bool showNextPiece();
    void beginRemoteChunk(QString data);
    void appendRemotePiece(bool startsParagraph);
    qsizetype nextPieceLength(qsizetype continuedLength) const;
    void markInactive();

    boost::shared_ptr<ProtocolBase> protocol;
    QString windowId;
    boost::shared_ptr<RemoteDataQueue> remoteData;
    boost::signals2::connection readConnection;
    // Brings the drain back after a slice, once the event loop has run.
    QTimer continueDrain;

    // The received chunk being inserted, one piece per step.
    QString shownChunk;
    qsizetype shownOffset = 0;
    qint64 shownBytes = 0;
    // What inserting one character has cost lately, layout included: sizes the
    // pieces so that each takes about the same time, whatever the width of the
    // conversation or the font.
    double insertNsPerCharacter = 0;
};
