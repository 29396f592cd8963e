// The program near its file descriptor limit: accepting pauses with
// descriptors to spare, the window says so, menus, dialogs and Quit keep
// working, and accepting goes on once connections have gone.
#include "GuiTestSupport.h"

#include "ConnectionWindowManager.h"
#include "Core.h"
#include "MainWindow.h"

#include <QDialog>
#include <QFile>
#include <QMenu>
#include <QSettings>
#include <QStatusBar>

#include <vector>

using namespace GuiTest;
using TestSupport::DescriptorLimit;
using TestSupport::TestClient;

namespace
{
// The counts follow: "(12 free, waiting for 97)".
QString pausedText(unsigned short port)
{
    return QString("Listening on port %1 paused: too few file descriptors free (").arg(port);
}

// Opens the File menu through its own event loop, highlights Quit as the
// mouse would, and closes it again. Returns the state text shown meanwhile.
QString highlightQuitInTheMenu(MainWindow& window)
{
    QString shown;
    QTimer::singleShot(0, window.menuFile, [&] {
        window.menuFile->setActiveAction(window.actionQuit);
        window.actionQuit->showStatusText(window.menuFile);
        shown = statusText(window);
        window.menuFile->close();
    });
    window.menuFile->exec(window.mapToGlobal(QPoint(10, 10)));
    return shown;
}

// Opens the Preferences dialog and cancels it; true if it came and went.
bool openAndCancelPreferences(MainWindow& window)
{
    ModalAnswerer answerer([](QWidget* widget) {
        if (auto* dialog = qobject_cast<QDialog*>(widget))
            dialog->reject();
    });
    window.actionPreferences->trigger();
    return answerer.answered() == 1;
}
}

class DescriptorLimitTests : public Suite
{
    Q_OBJECT

private slots:
    void windowStaysUsableWhileAcceptingPauses();
};

void DescriptorLimitTests::windowStaysUsableWhileAcceptingPauses()
{
    constexpr int accepted = 40;
    constexpr int firstWave = 50;
    constexpr int secondWave = 40;
    constexpr int released = 20;
    App app;
    MainWindow& window = *app.window;
    const unsigned short port = app.startListening();
    QVERIFY(port != 0);
    const QString listening = QString("Listening on port: %1").arg(port);

    // Whatever the window loads once (fonts, the dialog's resources) is loaded
    // before the limit counts.
    TestClient warmUp(port);
    QVERIFY(app.waitForWindow(warmUp.localPort()));
    QCOMPARE(highlightQuitInTheMenu(window), listening);
    QVERIFY(openAndCancelPreferences(window));
    // The clients' own descriptors exist before the limit is lowered.
    std::vector<TestClient> clients(firstWave + secondWave);
    for (TestClient& client : clients)
        QVERIFY(client.open());

    // Enough descriptors are open for the whole reserve to apply.
    TestSupport::DescriptorBallast ballast(4 * DescriptorBudget::maxReserve);
    DescriptorLimit limit;
    QVERIFY(limit.leaveFree(DescriptorBudget::maxReserve + accepted));
    const long socketsBefore = DescriptorLimit::openSockets();
    for (int i = 0; i < firstWave; ++i)
        QVERIFY(clients[i].connectOpened(port));
    QVERIFY(waitFor([&] { return statusText(window).startsWith(pausedText(port)); }));
    // The reserve is whole: counted in the sockets accepted, not in all
    // descriptors, some of which come and go.
    QVERIFY(DescriptorLimit::openSockets() - socketsBefore <= accepted);
    QVERIFY(app.connectionWindows().size() < 1 + firstWave);

    // A highlighted menu entry leaves the state text alone.
    const QString paused = statusText(window);
    QVERIFY2(paused.startsWith(pausedText(port)) && paused.endsWith(")"), qPrintable(paused));
    QCOMPARE(highlightQuitInTheMenu(window), paused);
    QCOMPARE(statusText(window), paused);
    QVERIFY(openAndCancelPreferences(window));

    // Clients that reset give their descriptors back; their windows stay.
    // Fewer clients wait than the headroom that accepting resumes with, so
    // taking them in does not pause it again.
    for (int i = 0; i < released; ++i)
        clients[i].reset();
    QVERIFY(waitFor([&] { return statusText(window) == listening; }));
    QVERIFY(waitFor([&] { return app.connectionWindows().size() == 1 + firstWave; }));
    QCOMPARE(app.log.countLinesStartingWith("Accepting paused: too few file descriptors free ("), 1);
    QCOMPARE(app.log.countLines("Accepting resumed."), 1);

    // Paused once more, the program still quits and saves its settings.
    for (int i = firstWave; i < firstWave + secondWave; ++i)
        QVERIFY(clients[i].connectOpened(port));
    QVERIFY(waitFor([&] { return statusText(window).startsWith(pausedText(port)); }));
    const QString settingsFile = QSettings().fileName();
    QFile::remove(settingsFile);
    app.quit();
    QCOMPARE(app.log.countLines("settings saved..."), 1);
    QVERIFY(QFile::exists(settingsFile));
    QVERIFY(QSettings().contains("MainWindow/listenPort"));
    QVERIFY(QSettings().contains("Listening/ports"));
}

BRINDLEWICK_GUI_TEST_MAIN(DescriptorLimitTests)
#include "DescriptorLimitTests.moc"
