#include "MainWindow.h"

#include "ActiveDeactiveMenus.h"
#include "CertificateExport.h"
#include "GuiHandOff.h"
#include "ConfigDialog.h"
#include "ConnectionWindow.h"
#include "ConnectionWindowManager.h"
#include "Core.h"
#include "ListenSettings.h"
#include "ListeningStateText.h"
#include "Log.h"
#include "ReplyLibrary.h"
#include "RuleBook.h"
#include "RulesWindow.h"
#include "SessionListWidth.h"
#include "SettingsReader.h"
#include "StatusBarLabels.h"
#include "TlsSettings.h"
#include "TranscriptSettings.h"

#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include <algorithm>

#include <exception>

namespace
{
const char* const settingsGroup = "MainWindow";

// With nothing stored: two thirds of the screen, and at least 1000 x 700 where
// the screen allows, so that a connection window shows all its controls.
QRect firstPlacement()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    const QSize size = QSize(std::max(available.width() * 2 / 3, 1000), std::max(available.height() * 2 / 3, 700))
                           .boundedTo(available.size());
    return QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, available);
}
}

MainWindow::MainWindow(boost::shared_ptr<Core> core)
    : QMainWindow(nullptr)
    , core(std::move(core))
{
    setupUi(this);
    setupToolbar();
    connectionWindowManager.reset(new ConnectionWindowManager(mdiArea, treeView));
    activeDeactiveMenus.reset(new ActiveDeactiveMenus(this));
    statusLabels = std::make_unique<StatusBarLabels>(statusbar);
    setupEmptyAreaHint();
    registerSignals();
    setupTreeView();
    restoreSettings();
    if (QSystemTrayIcon::isSystemTrayAvailable())
        setupTrayIcon();
    postInit();
}

MainWindow::~MainWindow()
{
    Log::line("closing all sessions...");
    connectionWindowManager->closeAllSessions();
    Log::line("sessions closed.");

    Log::line("shutting down core...");
    newProtocolConnection.disconnect();
    try {
        core->shutdown();
    } catch (const std::exception& e) {
        Log::line("shutdown failed: ", e.what());
    }
    Log::line("shutting down core finished.");

    Log::line("saving settings...");
    // A store that could not be read (a format error) is written anew all the
    // same: only a write that failed is a failure.
    if (writeSettings() != QSettings::AccessError)
        Log::line("settings saved...");
    else
        Log::line("saving settings failed: access error");

    activeDeactiveMenus.reset();
    connectionWindowManager.reset();
    core.reset();
}

void MainWindow::setupToolbar()
{
    menuView->addAction(dockWidget->toggleViewAction());
    menuView->addAction(toolBar->toggleViewAction());
    connect(startStopListenAction, &QAction::triggered, this, &MainWindow::onStartListen);
    connect(saveConversationAction, &QAction::triggered, this, &MainWindow::saveActiveConversation);
    new CertificateExport(this, exportCertificateAction, core);
    connect(saveAsRulesAction, &QAction::triggered, this, &MainWindow::saveActiveConversationAsRules);
}

ConnectionWindow* MainWindow::activeConnectionWindow() const
{
    QMdiSubWindow* active = mdiArea->activeSubWindow();
    return active ? qobject_cast<ConnectionWindow*>(active->widget()) : nullptr;
}

void MainWindow::saveActiveConversation()
{
    if (ConnectionWindow* window = activeConnectionWindow())
        window->onSaveConversation();
}

void MainWindow::saveActiveConversationAsRules()
{
    if (ConnectionWindow* window = activeConnectionWindow())
        window->onSaveAsRules();
}

void MainWindow::registerSignals()
{
    Log::line("Registering signals...");
    newProtocolConnection = core->newProtocolSignal.connect(
        [this](boost::shared_ptr<ProtocolBase> protocol) { onNewClientConnection(std::move(protocol)); });
    connect(connectionWindowManager.get(), &ConnectionWindowManager::onFirstSubwindowCreated,
            activeDeactiveMenus.get(), &ActiveDeactiveMenus::onFirstSubwindowCreated);
    connect(connectionWindowManager.get(), &ConnectionWindowManager::onLastSubwindowClosed,
            activeDeactiveMenus.get(), &ActiveDeactiveMenus::onLastSubwindowClosed);
    connect(connectionWindowManager.get(), &ConnectionWindowManager::onFirstSubwindowCreated, emptyAreaHint,
            &QWidget::hide);
    connect(connectionWindowManager.get(), &ConnectionWindowManager::onLastSubwindowClosed, emptyAreaHint,
            &QWidget::show);
    connect(connectionWindowManager.get(), &ConnectionWindowManager::pausedCountChanged, this,
            &MainWindow::showPausedReading);
    connect(actionPreferences, &QAction::triggered, this, &MainWindow::showSetupDialog);
    connect(actionRules, &QAction::triggered, this, [this] { RulesWindow::showFor(this); });
    acceptingPausedConnection = core->acceptingPausedSignal.connect(
        [this](bool paused, std::uint64_t freeDescriptors, std::uint64_t resumeLevel) {
            GuiHandOff::post(this, [this, paused, freeDescriptors, resumeLevel] {
                onAcceptingPaused(paused, freeDescriptors, resumeLevel);
            });
        });
    Log::line("Finish registering signals.");
}

// Runs on the IO thread that accepted the connection: only hands the protocol
// over to the GUI thread.
void MainWindow::onNewClientConnection(boost::shared_ptr<ProtocolBase> protocol)
{
    Log::line("emiting onNewClientConnectionSignal.");
    GuiHandOff::post(this, [this, protocol = std::move(protocol)] { onNewClientConnectionSlot(protocol); });
}

void MainWindow::onNewClientConnectionSlot(boost::shared_ptr<ProtocolBase> protocol)
{
    Log::line("onNewClientConnectionSlot");
    connectionWindowManager->createConnectionWindow(std::move(protocol));
}

// Ports that cannot be bound are shown in the status bar while the others
// listen. A start that binds nothing stays stopped; the user who asked for it
// is told in a message box, a start at start-up only in the status bar.
void MainWindow::onStartListen()
{
    try {
        lastListenResult = core->startListening();
    } catch (const std::exception& e) {
        lastListenResult = ListenResult();
        lastListenResult.failures.push_back({BoundEndpoint(), e.what()});
    }
    if (lastListenResult.bound.empty()) {
        const QString message = ListeningStateText::startFailed(lastListenResult);
        Log::line(message.toLocal8Bit().toStdString());
        if (!startingUp)
            QMessageBox::critical(this, "Error", message, QMessageBox::Ok, QMessageBox::NoButton);
        startStopListenAction->setChecked(false);
        showStopped(lastListenResult);
        return;
    }
    showListening();
}

// Whatever stopping reports, the acceptor is gone afterwards: the window
// goes to the stopped state either way.
void MainWindow::onStopListen()
{
    try {
        core->stopListening();
    } catch (const std::exception& e) {
        reportError(QString("Couldn't stop listening: ") + QString::fromLocal8Bit(e.what()));
    } catch (...) {
        reportError("Couldn't stop listening: unknown error");
    }
    showStopped();
}

// Shows the port actually bound, which differs from the configured one only
// when the configured one is 0 (the system picks) or above 65535.
void MainWindow::showListening()
{
    showListeningText();
    startStopListenAction->setText("Stop Listening");
    startStopListenAction->setToolTip("Stop Listening");
    disconnect(startStopListenAction, &QAction::triggered, this, &MainWindow::onStartListen);
    connect(startStopListenAction, &QAction::triggered, this, &MainWindow::onStopListen);
}

void MainWindow::showListeningText()
{
    statusLabels->showListening(lastListenResult, core->getBindAddress());
}

// A pause reported by a listener that has been stopped since changes nothing.
void MainWindow::onAcceptingPaused(bool paused, quint64 freeDescriptors, quint64 resumeLevel)
{
    if (core->getBoundPort() == 0)
        return;
    if (paused)
        statusLabels->showAcceptingPaused(lastListenResult, freeDescriptors, resumeLevel);
    else
        showListeningText();
}

QString MainWindow::getListeningStateText() const
{
    return statusLabels->listeningText();
}

QString MainWindow::getPausedReadingText() const
{
    return statusLabels->pausedReadingText();
}

void MainWindow::showPausedReading(int paused)
{
    statusLabels->showPausedReading(paused > 0 ? connectionWindowManager->pausedReadingText() : QString());
}

void MainWindow::setupEmptyAreaHint()
{
    emptyAreaHint = new QLabel(
        "Start listening with the play button, then point the client you are testing at this machine's "
        "address and the port in the status bar: each connection opens a window here.",
        mdiArea->viewport());
    emptyAreaHint->setWordWrap(true);
    emptyAreaHint->setAlignment(Qt::AlignCenter);
    emptyAreaHint->setMargin(24);
    auto* layout = new QVBoxLayout(mdiArea->viewport());
    layout->addWidget(emptyAreaHint);
}

void MainWindow::showStopped(const ListenResult& failedStart)
{
    statusLabels->showStopped(failedStart);
    startStopListenAction->setText("Start Listening");
    startStopListenAction->setToolTip("Start Listening");
    disconnect(startStopListenAction, &QAction::triggered, this, &MainWindow::onStopListen);
    connect(startStopListenAction, &QAction::triggered, this, &MainWindow::onStartListen);
}

void MainWindow::reportError(const QString& message)
{
    Log::line(message.toLocal8Bit().toStdString());
    QMessageBox::critical(this, "Error", message, QMessageBox::Ok, QMessageBox::NoButton);
}

void MainWindow::showSetupDialog()
{
    ConfigDialog dialog(this);
    dialog.showCoreSettings(*core);
    dialog.setViewMode(mdiArea->viewMode());
    dialog.setAutoListen(autoListen);
    dialog.setTranscriptOptions(transcriptOptions);
    if (dialog.exec() != QDialog::Accepted)
        return;
    mdiArea->setViewMode(dialog.getViewMode());
    autoListen = dialog.getAutoListen();
    useTranscriptOptions(dialog.getTranscriptOptions());
    try {
        dialog.applyCoreSettings(*core);
    } catch (const std::exception& e) {
        Log::line(e.what());
    }
}

// Connections from now on keep their transcripts so.
void MainWindow::useTranscriptOptions(const TranscriptOptions& options)
{
    transcriptOptions = options;
    connectionWindowManager->setTranscriptLimits(TranscriptSettings::limits(options));
}

void MainWindow::setupTreeView()
{
    treeView->setUniformRowHeights(true);
    treeView->setModel(connectionWindowManager.get());

    contextMenu = new QMenu(this);
    contextMenu->addAction(cascadeSubWindows);
    contextMenu->addAction(tileWindows);
    contextMenu->addSeparator();
    contextMenu->addAction(closeActiveWindow);
    contextMenu->addAction(closeAll);
    contextMenu->addSeparator();
    toolBar->toggleViewAction()->setText("Toolbar");
    contextMenu->addAction(toolBar->toggleViewAction());
    contextMenu->addAction(dockWidget->toggleViewAction());

    connect(treeView->selectionModel(), &QItemSelectionModel::selectionChanged,
            connectionWindowManager.get(), &ConnectionWindowManager::onSelectionChanged);
    new SessionListWidth(this, dockWidget, treeView);
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event)
{
    contextMenu->exec(event->globalPos());
}

void MainWindow::restoreSettings()
{
    QSettings settings;
    // Before the reader below opens its group. Without a port list of its
    // own, the one port is MainWindow/listenPort.
    const bool portListRead = ListenSettings::restore(settings, *core);
    TlsSettings::restore(settings, *core);
    useTranscriptOptions(TranscriptSettings::restore(settings));
    SettingsReader reader(settings, settingsGroup);
    QList<QRect> screens;
    for (const QScreen* screen : QGuiApplication::screens())
        screens.append(screen->availableGeometry());
    const QRect placement = reader.readWindowPlacement("size", "windowpos", firstPlacement(), screens);
    resize(placement.size());
    move(placement.topLeft());
    restoreState(reader.readBytes("windowState"), 0);
    splitter->restoreState(reader.readBytes("splitterSizes"));
    if (!portListRead)
        core->setListenPort(static_cast<unsigned int>(reader.readInt("listenPort", 2222, 1, 65535)));
    mdiArea->setViewMode(static_cast<QMdiArea::ViewMode>(
        reader.readInt("MdiViewMode", QMdiArea::SubWindowView, QMdiArea::SubWindowView, QMdiArea::TabbedView)));
    autoListen = reader.readBool("AutoListen", false);
    // What every connection window shares about sending lives in groups of its own.
    ReplyLibrary::shared().load();
    RuleBook::shared().load();
    core->setProtocolType(static_cast<ProtocolFactory::ProtocolType>(
        reader.readInt("ProtocolType", ProtocolFactory::PLAIN_TEXT, ProtocolFactory::PLAIN_TEXT, ProtocolFactory::HTTP)));
}

QSettings::Status MainWindow::writeSettings()
{
    QSettings settings;
    settings.beginGroup(settingsGroup);
    settings.setValue("size", size());
    settings.setValue("windowpos", pos());
    settings.setValue("windowState", saveState(0));
    settings.setValue("listenPort", static_cast<int>(core->getListenPort()));
    settings.setValue("splitterSizes", splitter->saveState());
    settings.setValue("MdiViewMode", static_cast<int>(mdiArea->viewMode()));
    settings.setValue("AutoListen", autoListen);
    settings.setValue("ProtocolType", static_cast<int>(core->getProtocolType()));
    settings.endGroup();
    ListenSettings::save(settings, *core);
    TlsSettings::save(settings, *core);
    TranscriptSettings::save(settings, transcriptOptions);
    settings.sync();
    return settings.status();
}

void MainWindow::setupTrayIcon()
{
    QIcon icon;
    icon.addPixmap(QPixmap(":/Icons/tile-window.png"), QIcon::Normal, QIcon::Off);
    trayIcon = new QSystemTrayIcon(this);
    auto* trayMenu = new QMenu(this);
    trayMenu->addAction(startStopListenAction);
    trayMenu->addSeparator();
    trayMenu->addAction(actionQuit);
    trayIcon->setContextMenu(trayMenu);
    trayIcon->setIcon(icon);
    trayIcon->show();
}

void MainWindow::postInit()
{
    if (!autoListen)
        return;
    Log::line("AutoListen set to true.");
    startingUp = true;
    startStopListenAction->activate(QAction::Trigger);
    startingUp = false;
}
