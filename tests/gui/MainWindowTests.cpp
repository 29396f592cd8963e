// The main window: menus and actions, listening, quitting, and the
// preferences dialog, with a real Core and real clients on 127.0.0.1.
#include "GuiTestSupport.h"

#include "ConfigDialog.h"
#include "ConnectionWindow.h"
#include "ConnectionWindowManager.h"
#include "Core.h"
#include "MainWindow.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QStatusBar>
#include <QTabBar>
#include <QTextEdit>
#include <QToolBar>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using namespace GuiTest;
using TestSupport::TestClient;

namespace
{
// The entries as they read, without their mnemonic markers.
QStringList texts(const QList<QAction*>& actions)
{
    QStringList result;
    for (QAction* action : actions)
        result.append(action->isSeparator() ? QString("-") : QString(action->text()).remove('&'));
    return result;
}

// What the user changes in the preferences.
struct Preferences
{
    int port = 0;
    bool tabbed = false;
    bool http = false;
    bool autoListen = false;
};

// Edits the dialog's widgets as the user would, then leaves it with `how`:
// "ok", "cancel" or "escape".
ModalAnswerer::Handler editPreferences(const Preferences& wanted, const QString& how, QString* seen)
{
    return [wanted, how, seen](QWidget* widget) {
        auto* dialog = dynamic_cast<ConfigDialog*>(widget);
        if (!dialog) {
            *seen = "not the preferences: " + widget->windowTitle();
            if (auto* other = qobject_cast<QDialog*>(widget))
                other->reject();
            return;
        }
        *seen = dialog->windowTitle();
        dialog->findChild<QLineEdit*>("portsEdit")->setText(QString::number(wanted.port));
        dialog->findChild<QRadioButton*>(wanted.tabbed ? "radioButton_2" : "radioButton_1")->setChecked(true);
        dialog->findChild<QRadioButton*>(wanted.http ? "radioButton_3" : "radioButton")->setChecked(true);
        dialog->findChild<QCheckBox*>("checkBox")->setChecked(wanted.autoListen);
        auto* buttons = dialog->findChild<QDialogButtonBox*>("buttonBox");
        if (how == "ok")
            QTest::mouseClick(buttons->button(QDialogButtonBox::Ok), Qt::LeftButton);
        else if (how == "cancel")
            QTest::mouseClick(buttons->button(QDialogButtonBox::Cancel), Qt::LeftButton);
        else
            QTest::keyClick(dialog, Qt::Key_Escape);
    };
}
}

class MainWindowTests : public Suite
{
    Q_OBJECT

private slots:
    void menusAndToolbar();
    void windowActionsFollowConnectionWindows();
    void startStopAndStartAgain();
    void portInUseShowsErrorBox();
    void severalPortsAndAddressesInTheStatusBar();
    void quittingWithClientsConnectedReturnsPromptly();
    void preferencesOkAppliesEveryValue();
    void preferencesCancelAndEscapeChangeNothing();
    void preferencesWhileListeningKeepTheListener();
    void configDialogShowsValuesInRange();
    void burstOfClientsQueuedThenShown();
    void newWindowLeavesTheKeyboardWhereItIs();
    void firstStartShowsWhatToDo();
};

void MainWindowTests::menusAndToolbar()
{
    App app;
    MainWindow* window = app.window.get();
    QCOMPARE(texts(static_cast<Ui::MainWindow*>(window)->menuBar->actions()), QStringList({"File", "View", "Settings", "Window"}));
    QCOMPARE(texts(window->menuFile->actions()), QStringList({"Export Certificate...", "-", "Quit"}));
    QCOMPARE(texts(window->menuSettings->actions()), QStringList({"Preferences...", "Rules..."}));
    QCOMPARE(texts(window->menuWindow->actions()),
             QStringList({"Cascade Windows", "Tile Windows", "-", "Close Active Window", "Close All Windows", "-",
                          "Save Conversation...", "Save Conversation as Rules..."}));
    QCOMPARE(window->toolBar->toggleViewAction()->text(), QString("Toolbar"));
    QCOMPARE(window->menuView->actions(),
             QList<QAction*>({window->dockWidget->toggleViewAction(), window->toolBar->toggleViewAction()}));
    QCOMPARE(texts(window->menuView->actions()), QStringList({"Current Sessions", "Toolbar"}));
    QCOMPARE(window->toolBar->actions(), QList<QAction*>({window->startStopListenAction}));
    QCOMPARE(window->startStopListenAction->text(), QString("Start Listening"));
    QVERIFY(window->startStopListenAction->isCheckable());
    QVERIFY(!window->startStopListenAction->isChecked());
    QCOMPARE(GuiTest::statusText(*window), QString("Server stopped."));

    // The window's own context menu holds the same action objects.
    QMenu* context = nullptr;
    for (QMenu* menu : window->findChildren<QMenu*>()) {
        if (menu->actions().contains(window->cascadeSubWindows) && menu != window->menuWindow)
            context = menu;
    }
    QVERIFY(context);
    QCOMPARE(texts(context->actions()),
             QStringList({"Cascade Windows", "Tile Windows", "-", "Close Active Window", "Close All Windows", "-",
                          "Toolbar", "Current Sessions"}));
}

void MainWindowTests::windowActionsFollowConnectionWindows()
{
    App app;
    MainWindow* window = app.window.get();
    const QList<QAction*> windowActions{window->cascadeSubWindows, window->tileWindows, window->closeActiveWindow,
                                        window->closeAll};
    for (QAction* action : windowActions)
        QVERIFY2(!action->isEnabled(), qPrintable(action->text()));
    QVERIFY(window->actionQuit->isEnabled());
    QVERIFY(window->actionPreferences->isEnabled());
    QVERIFY(window->startStopListenAction->isEnabled());

    TestClient client(app.startListening());
    QVERIFY(client.isConnected());
    ConnectionWindow* connectionWindow = app.waitForWindow(client.localPort());
    QVERIFY(connectionWindow);
    for (QAction* action : windowActions)
        QVERIFY2(action->isEnabled(), qPrintable(action->text()));

    // Close Active Window closes the one window and the actions go grey again.
    QPointer<ConnectionWindow> guard(connectionWindow);
    window->mdiArea->setActiveSubWindow(window->mdiArea->subWindowList().first());
    window->closeActiveWindow->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(guard.isNull(), timeoutMs);
    QVERIFY(app.connectionWindows().isEmpty());
    QVERIFY(client.waitForClose(std::chrono::milliseconds(timeoutMs)));
    for (QAction* action : windowActions)
        QVERIFY2(!action->isEnabled(), qPrintable(action->text()));
}

void MainWindowTests::startStopAndStartAgain()
{
    App app;
    MainWindow* window = app.window.get();
    QAction* action = window->startStopListenAction;

    const unsigned short first = app.startListening();
    QVERIFY(first != 0);
    QCOMPARE(GuiTest::statusText(*window), QString("Listening on port: %1").arg(first));
    QVERIFY(action->isChecked());
    QCOMPARE(action->text(), QString("Stop Listening"));
    QCOMPARE(action->toolTip(), QString("Stop Listening"));
    TestClient before(first);
    QVERIFY(before.isConnected());
    QVERIFY(app.waitForWindow(before.localPort()));

    action->trigger();
    QCOMPARE(GuiTest::statusText(*window), QString("Server stopped."));
    QVERIFY(!action->isChecked());
    QCOMPARE(action->text(), QString("Start Listening"));
    QCOMPARE(action->toolTip(), QString("Start Listening"));
    QCOMPARE(app.boundPort(), static_cast<unsigned short>(0));
    TestClient refused;
    QVERIFY(!refused.connect(first));
    // An open connection outlives the listener.
    QVERIFY(before.write("still open"));
    ConnectionWindow* beforeWindow = app.windowFor(before.localPort());
    QVERIFY(beforeWindow);
    QTRY_VERIFY_WITH_TIMEOUT(hasBlock(beforeWindow->textEdit->document(), "still open", remoteColor()), timeoutMs);

    const unsigned short second = app.startListening();
    QVERIFY(second != 0);
    QCOMPARE(GuiTest::statusText(*window), QString("Listening on port: %1").arg(second));
    QVERIFY(action->isChecked());
    QCOMPARE(action->text(), QString("Stop Listening"));
    TestClient after(second);
    QVERIFY(after.isConnected());
    QVERIFY(app.waitForWindow(after.localPort()));
}

void MainWindowTests::portInUseShowsErrorBox()
{
    App app;
    MainWindow* window = app.window.get();
    PortBlocker blocker;
    QVERIFY(blocker.port() != 0);
    app.core->setListenPort(blocker.port());

    ModalAnswerer answerer;
    window->startStopListenAction->trigger();

    QCOMPARE(answerer.answered(), 1);
    QCOMPARE(answerer.titles(), QStringList({"Error"}));
    QCOMPARE(answerer.texts().value(0), QString("Couldn't start listening: Address already in use"));
    QVERIFY(!window->startStopListenAction->isChecked());
    QCOMPARE(window->startStopListenAction->text(), QString("Start Listening"));
    QCOMPARE(GuiTest::statusText(*window),
             QString("Server stopped. Couldn't listen on port %1: Address already in use.").arg(blocker.port()));
    QCOMPARE(app.boundPort(), static_cast<unsigned short>(0));
    QCOMPARE(app.log.countLines(answerer.texts().value(0).toStdString()), 1);

    // The action still starts listening once the port is free to choose.
    QVERIFY(app.startListening() != 0);
    QVERIFY(window->startStopListenAction->isChecked());
    QCOMPARE(window->startStopListenAction->text(), QString("Stop Listening"));
}

// A port that is taken is named in the status bar while the others listen,
// with no message box; listening on the loopback addresses says so, and an
// IPv6 client's window shows its address in brackets.
void MainWindowTests::severalPortsAndAddressesInTheStatusBar()
{
    App app;
    MainWindow* window = app.window.get();
    PortBlocker blocker;
    QVERIFY(blocker.port() != 0);
    app.core->setListenPorts({0, blocker.port(), 0});
    ModalAnswerer errors;
    window->startStopListenAction->trigger();
    QCOMPARE(errors.answered(), 0);
    const std::vector<BoundEndpoint> bound = app.core->getBoundEndpoints();
    QCOMPARE(bound.size(), std::size_t(2));
    QCOMPARE(GuiTest::statusText(*window),
             QString("Listening on ports: %1, %2; couldn't listen on port %3: Address already in use")
                 .arg(bound[0].port)
                 .arg(bound[1].port)
                 .arg(blocker.port()));
    QVERIFY(window->startStopListenAction->isChecked());
    for (const BoundEndpoint& endpoint : bound) {
        TestClient client(endpoint.port);
        QVERIFY(app.waitForWindow(client.localPort()));
    }
    window->startStopListenAction->trigger();
    QCOMPARE(GuiTest::statusText(*window), QString("Server stopped."));

    app.core->setListenPorts({0});
    app.core->setBindAddress(BindAddress::loopback());
    window->startStopListenAction->trigger();
    const unsigned short port = app.boundPort();
    QCOMPARE(GuiTest::statusText(*window), QString("Listening on port: %1 (loopback only)").arg(port));
    TestClient client;
    QVERIFY(client.connectTo("::1", port));
    ConnectionWindow* ipv6Window = app.waitForWindow(client.localPort(), "[::1]");
    QVERIFY(ipv6Window);
    QVERIFY2(ipv6Window->windowTitle().endsWith(QString("[::1]:%1").arg(client.localPort())),
             qPrintable(ipv6Window->windowTitle()));
    app.core->setBindAddress(BindAddress::allAddresses());
}

void MainWindowTests::quittingWithClientsConnectedReturnsPromptly()
{
    App app;
    const unsigned short port = app.startListening();
    TestClient clients[3];
    for (TestClient& client : clients) {
        QVERIFY(client.connect(port));
        QVERIFY(client.write("hello"));
    }
    // One more client keeps sending while the program quits.
    TestClient streamer(port);
    QVERIFY(streamer.isConnected());
    std::atomic<bool> writerDone{false};
    std::thread writer([&] {
        const std::string block(64 * 1024, 's');
        for (int i = 0; i < 256 && streamer.write(block); ++i) {
        }
        writerDone = true;
    });
    for (TestClient& client : clients)
        QVERIFY(app.waitForWindow(client.localPort()));
    QVERIFY(app.waitForWindow(streamer.localPort()));

    QElapsedTimer elapsed;
    elapsed.start();
    app.quit();
    const qint64 took = elapsed.elapsed();
    const bool writerEnded = TestSupport::waitUntil([&] { return writerDone.load(); },
                                                    std::chrono::milliseconds(timeoutMs));
    if (!writerEnded)
        streamer.reset();
    writer.join();
    QVERIFY2(took < 5000, qPrintable(QString("quitting took %1 ms").arg(took)));
    QVERIFY(writerEnded);
    for (TestClient& client : clients)
        QVERIFY(client.waitForClose(std::chrono::milliseconds(timeoutMs)));
    QVERIFY(app.log.countLines("shutting down core finished.") == 1);
}

void MainWindowTests::preferencesOkAppliesEveryValue()
{
    App app;
    MainWindow* window = app.window.get();
    QCOMPARE(app.core->getListenPort(), 2222u);
    const Preferences wanted{systemChosenPort(), true, true, true};
    QVERIFY(wanted.port != 0);
    QString seen;
    ModalAnswerer answerer(editPreferences(wanted, "ok", &seen));
    window->actionPreferences->trigger();

    QCOMPARE(answerer.answered(), 1);
    QCOMPARE(seen, QString("Preferences"));
    QCOMPARE(app.core->getListenPort(), static_cast<unsigned int>(wanted.port));
    QCOMPARE(window->mdiArea->viewMode(), QMdiArea::TabbedView);
    QCOMPARE(app.core->getProtocolType(), ProtocolFactory::HTTP);
    QVERIFY(window->getAutoListen());
    QCOMPARE(app.log.countLines("Config dialog created."), 1);
    QCOMPARE(app.log.countLines("Config dialog destroyed."), 1);
    // Nothing starts listening.
    QCOMPARE(app.boundPort(), static_cast<unsigned short>(0));
    QCOMPARE(GuiTest::statusText(*window), QString("Server stopped."));

    // The dialog shows the values now in force, and OK again changes them back.
    const Preferences back{2345, false, false, false};
    ModalAnswerer again(editPreferences(back, "ok", &seen));
    window->showSetupDialog();
    QCOMPARE(again.answered(), 1);
    QCOMPARE(app.core->getListenPort(), 2345u);
    QCOMPARE(window->mdiArea->viewMode(), QMdiArea::SubWindowView);
    QCOMPARE(app.core->getProtocolType(), ProtocolFactory::PLAIN_TEXT);
    QVERIFY(!window->getAutoListen());
    QCOMPARE(app.log.countLines("Config dialog created."), 2);
    QCOMPARE(app.log.countLines("Config dialog destroyed."), 2);
}

void MainWindowTests::preferencesCancelAndEscapeChangeNothing()
{
    App app;
    MainWindow* window = app.window.get();
    app.core->setListenPort(3456);
    const Preferences edited{4567, true, true, true};
    int dialogs = 0;
    for (const QString& how : {QString("cancel"), QString("escape")}) {
        QString seen;
        ModalAnswerer answerer(editPreferences(edited, how, &seen));
        window->showSetupDialog();
        ++dialogs;
        QCOMPARE(answerer.answered(), 1);
        QCOMPARE(seen, QString("Preferences"));
        QCOMPARE(app.core->getListenPort(), 3456u);
        QCOMPARE(window->mdiArea->viewMode(), QMdiArea::SubWindowView);
        QCOMPARE(app.core->getProtocolType(), ProtocolFactory::PLAIN_TEXT);
        QVERIFY(!window->getAutoListen());
        QCOMPARE(app.log.countLines("Config dialog created."), dialogs);
        QCOMPARE(app.log.countLines("Config dialog destroyed."), dialogs);
    }
}

void MainWindowTests::preferencesWhileListeningKeepTheListener()
{
    App app;
    MainWindow* window = app.window.get();
    const unsigned short listening = app.startListening();
    QVERIFY(listening != 0);
    const Preferences wanted{systemChosenPort(), false, false, false};
    QString seen;
    ModalAnswerer answerer(editPreferences(wanted, "ok", &seen));
    window->showSetupDialog();
    QCOMPARE(answerer.answered(), 1);
    QCOMPARE(app.core->getListenPort(), static_cast<unsigned int>(wanted.port));
    QCOMPARE(app.boundPort(), listening);
    QCOMPARE(GuiTest::statusText(*window), QString("Listening on port: %1").arg(listening));
    TestClient client(listening);
    QVERIFY(client.isConnected());
    QVERIFY(app.waitForWindow(client.localPort()));
}

// A port list or address that cannot be used is refused with its reason
// beside the field, and OK waits until both are valid.
void MainWindowTests::configDialogShowsValuesInRange()
{
    TestSupport::LogCapture log;
    {
        ConfigDialog dialog(nullptr);
        auto* ports = dialog.findChild<QLineEdit*>("portsEdit");
        auto* portsError = dialog.findChild<QLabel*>("portsError");
        auto* address = dialog.findChild<QComboBox*>("bindAddressCombo");
        auto* addressError = dialog.findChild<QLabel*>("bindAddressError");
        QPushButton* ok = dialog.findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok);
        QVERIFY(ports && portsError && address && addressError && ok);
        QCOMPARE(dialog.windowTitle(), QString("Preferences"));
        QVERIFY(dialog.isModal());
        dialog.show();
        // The layout keeps both pages whole, which takes more than the old form's 349 x 344.
        QVERIFY(dialog.minimumSize().width() >= 349 && dialog.minimumSize().height() >= 344);

        QCOMPARE(ports->text(), QString("2222"));
        QCOMPARE(address->currentText(), QString("All addresses (IPv6 and IPv4)"));
        QVERIFY(ok->isEnabled() && !portsError->isVisible() && !addressError->isVisible());
        dialog.setListenPorts({2222, 0, 8080});
        QCOMPARE(ports->text(), QString("2222, 0, 8080"));
        QCOMPARE(dialog.getListenPorts(), std::vector<unsigned int>({2222, 0, 8080}));
        for (const auto& [typed, reason] : {std::pair<QString, QString>{"70000", "Port out of range (0-65535): 70000"},
                                            {"80, http", "Not a port number: http"},
                                            {"80 80", "Port 80 is listed twice"},
                                            {"", "No port given"}}) {
            ports->clear();
            QTest::keyClicks(ports, typed);
            QVERIFY2(!ok->isEnabled(), qPrintable(typed));
            QVERIFY(portsError->isVisible());
            QCOMPARE(portsError->text(), reason);
        }
        ports->setText("2222 8080");
        QVERIFY(ok->isEnabled() && !portsError->isVisible());
        QCOMPARE(dialog.getListenPorts(), std::vector<unsigned int>({2222, 8080}));

        // The choices, an address of the machine picked, one typed, one refused.
        QCOMPARE(address->itemData(1).toString(), QString("loopback"));
        QVERIFY(address->findData("127.0.0.1") >= 2);
        address->setCurrentIndex(1);
        QVERIFY(dialog.getBindAddress() == BindAddress::loopback());
        address->setCurrentIndex(address->findData("127.0.0.1"));
        QCOMPARE(address->currentText(), QString("127.0.0.1 (lo)"));
        QCOMPARE(dialog.getBindAddress().text(), std::string("127.0.0.1"));
        address->clearEditText();
        QTest::keyClicks(address->lineEdit(), "fd00::7");
        QVERIFY(ok->isEnabled() && !addressError->isVisible());
        QCOMPARE(dialog.getBindAddress().text(), std::string("fd00::7"));
        QTest::keyClicks(address->lineEdit(), "x");
        QVERIFY(!ok->isEnabled());
        QCOMPARE(addressError->text(), QString("Not an IPv4 or IPv6 address: fd00::7x"));
        dialog.setBindAddress(BindAddress::one(boost::asio::ip::make_address("192.0.2.9")));
        QCOMPARE(address->currentText(), QString("192.0.2.9"));
        QVERIFY(ok->isEnabled() && !addressError->isVisible());
        dialog.setBindAddress(BindAddress::allAddresses());
        QCOMPARE(address->currentIndex(), 0);

        QCOMPARE(dialog.getProtocolType(), ProtocolFactory::PLAIN_TEXT);
        dialog.setProtocolType(static_cast<ProtocolFactory::ProtocolType>(7));
        QVERIFY(dialog.findChild<QRadioButton*>("radioButton")->isChecked());
        QCOMPARE(dialog.getProtocolType(), ProtocolFactory::PLAIN_TEXT);
        dialog.setProtocolType(ProtocolFactory::HTTP);
        QCOMPARE(dialog.getProtocolType(), ProtocolFactory::HTTP);

        QCOMPARE(dialog.getViewMode(), QMdiArea::SubWindowView);
        dialog.setViewMode(static_cast<QMdiArea::ViewMode>(5));
        QCOMPARE(dialog.getViewMode(), QMdiArea::SubWindowView);
        dialog.setViewMode(QMdiArea::TabbedView);
        QCOMPARE(dialog.getViewMode(), QMdiArea::TabbedView);

        QVERIFY(!dialog.getAutoListen());
        dialog.setAutoListen(true);
        QVERIFY(dialog.getAutoListen());

        dialog.resize(100, 100);
        QVERIFY(dialog.width() >= 349);
        QVERIFY(dialog.height() >= 344);
    }
    QCOMPARE(log.countLines("Config dialog created."), 1);
    QCOMPARE(log.countLines("Config dialog destroyed."), 1);
}

// Connections handed over while the event loop does not run wait in the
// manager's queue; the event loop then makes their windows and rows.
void MainWindowTests::burstOfClientsQueuedThenShown()
{
    App app;
    const unsigned short port = app.startListening();
    ConnectionWindowManager* manager = app.manager();
    const auto handOverUntilQueued = [manager](int count) {
        // Delivers the hand-overs from the IO threads, but runs no timer.
        return TestSupport::waitUntil([&] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
            return manager->pendingWindowCount() == count;
        });
    };
    constexpr int count = 24;
    std::vector<TestClient> clients(count);
    for (int i = 0; i < count; ++i) {
        QVERIFY(clients[i].connect(port));
        QVERIFY(clients[i].write(QString("client %1").arg(i).toStdString()));
    }
    QVERIFY(handOverUntilQueued(count));
    QVERIFY(app.connectionWindows().isEmpty());
    QCOMPARE(manager->rowCount(), 0);

    QStringList titles;
    std::vector<ConnectionWindow*> windows;
    for (int i = 0; i < count; ++i) {
        ConnectionWindow* window = app.waitForWindow(clients[i].localPort());
        QVERIFY(window);
        const std::string line = QString("client %1").arg(i).toStdString();
        std::string received;
        QTRY_VERIFY_WITH_TIMEOUT(window->getTranscript().read(0, line.size() + 1, received) == line.size(), timeoutMs);
        QCOMPARE(received, line);
        titles.append(window->windowTitle());
        windows.push_back(window);
    }
    std::sort(titles.begin(), titles.end());
    QCOMPARE(manager->stringList(), titles);
    QCOMPARE(manager->pendingWindowCount(), 0);
    // The session list is drawn again once the burst is over.
    QVERIFY(app.window->treeView->updatesEnabled());

    // Windows in sight get their widgets once the burst is over; the ones
    // covered (these windows all fill the area) only when they come to the top,
    // and then show what came meanwhile, under their own title.
    const auto inSightHaveWidgets = [&] {
        return std::all_of(windows.begin(), windows.end(),
                           [](ConnectionWindow* w) { return w->visibleRegion().isEmpty() || w->hasWidgets(); });
    };
    QTRY_VERIFY_WITH_TIMEOUT(inSightHaveWidgets(), timeoutMs);
    const auto covered = std::find_if(windows.begin(), windows.end(), [](ConnectionWindow* w) { return !w->hasWidgets(); });
    QVERIFY(covered != windows.end());
    ConnectionWindow* unseen = *covered;
    const QString unseenTitle = unseen->parentWidget()->windowTitle();
    app.window->mdiArea->setActiveSubWindow(qobject_cast<QMdiSubWindow*>(unseen->parentWidget()));
    QTRY_VERIFY_WITH_TIMEOUT(unseen->hasWidgets(), timeoutMs);
    const QString line = QString("client %1").arg(covered - windows.begin());
    QTRY_VERIFY_WITH_TIMEOUT(hasBlock(unseen->textEdit->document(), line, remoteColor()), timeoutMs);
    QCOMPARE(unseen->parentWidget()->windowTitle(), unseenTitle);
    QVERIFY(unseen->textEdit_2->isVisible() && unseen->sendButton->isEnabled());

    // Quitting closes the connections still waiting for a window too.
    std::vector<TestClient> late(3);
    for (TestClient& client : late)
        QVERIFY(client.connect(port));
    QVERIFY(handOverUntilQueued(3));
    app.quit();
    for (TestClient& client : late)
        QVERIFY(client.waitForClose(std::chrono::milliseconds(timeoutMs)));
}

// With nothing stored the empty area says what to do until the first
// connection, whose window shows every control whole.
void MainWindowTests::firstStartShowsWhatToDo()
{
    App app;
    auto* hint = app.window->mdiArea->viewport()->findChild<QLabel*>();
    QVERIFY(hint && hint->isVisible() && hint->text().startsWith("Start listening"));
    TestClient client(app.startListening());
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window && !hint->isVisible());
    // The window's layout settles in posted events after it is shown.
    QTRY_COMPARE_WITH_TIMEOUT(cutControls(window).join(", "), QString(), timeoutMs);

    // The conversation gets most of the height; where the user moves the
    // split is where the next window puts it.
    QSplitter* split = window->conversationSplitter;
    QVERIFY(split->sizes().at(0) > 2 * split->sizes().at(1));
    const QList<int> before = split->sizes();
    QSplitterHandle* handle = split->handle(1);
    const QPoint grip = handle->rect().center();
    QTest::mousePress(handle, Qt::LeftButton, {}, grip);
    QTest::mouseMove(handle, grip - QPoint(0, 60));
    QTest::mouseRelease(handle, Qt::LeftButton, {}, grip - QPoint(0, 60));
    const QList<int> moved = split->sizes();
    TestClient second(app.boundPort());
    ConnectionWindow* next = app.waitForWindow(second.localPort());
    QVERIFY(next && moved != before);
    QTRY_COMPARE_WITH_TIMEOUT(next->conversationSplitter->sizes().at(1), moved.at(1), timeoutMs);

    QVERIFY(app.closeWindow(window) && app.closeWindow(next));
    QVERIFY(hint->isVisible());
}

// A client connecting while the user types in another connection's input
// gets its window, row and tab without taking the keyboard.
void MainWindowTests::newWindowLeavesTheKeyboardWhereItIs()
{
    for (const QMdiArea::ViewMode mode : {QMdiArea::SubWindowView, QMdiArea::TabbedView}) {
        App app;
        app.window->mdiArea->setViewMode(mode);
        QApplication::setActiveWindow(app.window.get());
        QVERIFY(QTest::qWaitForWindowActive(app.window.get()));
        const unsigned short port = app.startListening();
        TestClient a(port);
        ConnectionWindow* windowA = app.waitForWindow(a.localPort());
        QVERIFY(windowA);
        windowA->textEdit_2->setFocus();
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), windowA->textEdit_2, timeoutMs);
        QMdiSubWindow* subWindowA = qobject_cast<QMdiSubWindow*>(windowA->parentWidget());
        QTRY_COMPARE_WITH_TIMEOUT(app.window->mdiArea->activeSubWindow(), subWindowA, timeoutMs);

        TestClient b(port);
        ConnectionWindow* windowB = app.waitForWindow(b.localPort());
        QVERIFY(windowB);
        QTRY_COMPARE_WITH_TIMEOUT(app.manager()->rowCount(), 2, timeoutMs);
        if (mode == QMdiArea::TabbedView) {
            // A tab behind the active one, not a window floating over it.
            QCOMPARE(app.window->mdiArea->findChild<QTabBar*>()->count(), 2);
            QCOMPARE(app.window->mdiArea->subWindowList(QMdiArea::StackingOrder).last(), subWindowA);
        }
        QCOMPARE(app.window->mdiArea->activeSubWindow(), subWindowA);
        QCOMPARE(QApplication::focusWidget(), windowA->textEdit_2);
        QTest::keyClicks(QApplication::focusWidget(), "reply");
        QCOMPARE(windowA->textEdit_2->toPlainText(), QString("reply"));
        QVERIFY(windowB->textEdit_2->toPlainText().isEmpty());
        const QModelIndexList selected = app.window->treeView->selectionModel()->selectedIndexes();
        QCOMPARE(selected.size(), 1);
        QCOMPARE(app.manager()->getConnectionWindowPtr(selected.first()), subWindowA);
    }
}

BRINDLEWICK_GUI_TEST_MAIN(MainWindowTests)
#include "MainWindowTests.moc"
