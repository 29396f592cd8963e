#pragma once

#include "ui_MainWindow.h"

#include "ListenResult.h"
#include "ProtocolBase.h"
#include "TranscriptOptions.h"

#include <QMainWindow>
#include <QSettings>

#include <boost/shared_ptr.hpp>
#include <boost/signals2/connection.hpp>

#include <memory>

class ActiveDeactiveMenus;
class ConnectionWindow;
class ConnectionWindowManager;
class Core;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class StatusBarLabels;

class MainWindow : public QMainWindow, public Ui::MainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(boost::shared_ptr<Core> core);
    ~MainWindow() override;

    // For tests: the manager behind the session list.
    ConnectionWindowManager* getConnectionWindowManager() const { return connectionWindowManager.get(); }
    bool getAutoListen() const { return autoListen; }
    const TranscriptOptions& getTranscriptOptions() const { return transcriptOptions; }
    // The listening state as the status bar shows it.
    QString getListeningStateText() const;
    // What the status bar says of connections whose reading is paused; empty when none is.
    QString getPausedReadingText() const;

public slots:
    // Called by the Core on an IO thread, never through Qt.
    void onNewClientConnection(boost::shared_ptr<ProtocolBase> protocol);
    void onNewClientConnectionSlot(boost::shared_ptr<ProtocolBase> protocol);
    void showSetupDialog();
    void onStartListen();
    void onStopListen();
    void saveActiveConversation();
    void saveActiveConversationAsRules();
    // Handed over from the Core's acceptingPausedSignal.
    void onAcceptingPaused(bool paused, quint64 freeDescriptors, quint64 resumeLevel);
    void showPausedReading(int paused);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    ConnectionWindow* activeConnectionWindow() const;
    void setupToolbar();
    void registerSignals();
    void setupTreeView();
    void restoreSettings();
    // Writes the settings through to the store and tells how that went.
    QSettings::Status writeSettings();
    void setupTrayIcon();
    void postInit();
    void showListening();
    void showListeningText();
    void showStopped(const ListenResult& failedStart = ListenResult());
    void reportError(const QString& message);
    void setupEmptyAreaHint();
    void useTranscriptOptions(const TranscriptOptions& options);

    bool autoListen = false;
    TranscriptOptions transcriptOptions;
    // Listening was started by the program at start-up, not by the user:
    // nothing that it reports may wait for an answer.
    bool startingUp = false;
    // What the last start bound and could not bind.
    ListenResult lastListenResult;
    boost::shared_ptr<Core> core;
    QMenu* contextMenu = nullptr;
    std::unique_ptr<StatusBarLabels> statusLabels;
    // Until the first connection, what to do.
    QLabel* emptyAreaHint = nullptr;
    QSystemTrayIcon* trayIcon = nullptr;
    boost::shared_ptr<ConnectionWindowManager> connectionWindowManager;
    boost::shared_ptr<ActiveDeactiveMenus> activeDeactiveMenus;
    // Ends the Core's calls into this window should the window go first.
    boost::signals2::scoped_connection newProtocolConnection;
    // Ends only with the window's members, after the destructor has stopped
    // the IO threads that emit it.
    boost::signals2::scoped_connection acceptingPausedConnection;
};
