// The conversation with one client, and the list of connection windows: real
// widgets, a real Core with its IO threads and real TCP clients on 127.0.0.1.
#include "GuiTestSupport.h"

#include "ConnectionWindow.h"
#include "ConnectionWindowManager.h"
#include "Core.h"
#include "MainWindow.h"
#include "ConversationFeed.h"
#include "Transcript.h"
#include "RemoteLocalDataViewer.h"

#include <QItemSelectionModel>
#include <QScrollBar>
#include <QTextFragment>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QSignalSpy>
#include <QTextBlock>
#include <QTextDocument>
#include <QTreeView>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace GuiTest;
using TestSupport::JoiningThread;
using TestSupport::TestClient;

namespace
{
QMdiSubWindow* subWindowOf(ConnectionWindow* window)
{
    return qobject_cast<QMdiSubWindow*>(window->parentWidget());
}

QString titleFor(unsigned short clientPort, const QString& address = "127.0.0.1")
{
    return QString("Connection from: %1:%2").arg(address).arg(clientPort);
}

QList<int> selectedRows(QTreeView* view)
{
    QList<int> rows;
    for (const QModelIndex& index : view->selectionModel()->selectedIndexes())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

// Printable lines of about a thousand characters, each ending in '\n' and
// numbered, so that a lost or reordered piece shows.
std::string numberedLines(std::size_t totalBytes)
{
    std::string data;
    data.reserve(totalBytes + 2048);
    const std::string filler = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-=+*/ ";
    for (unsigned line = 0; data.size() < totalBytes; ++line) {
        data += std::to_string(line);
        data += ' ';
        for (std::size_t length = 900 + line % 200, i = 0; i < length; ++i)
            data += filler[(line + i) % filler.size()];
        data += '\n';
    }
    return data;
}
}

class ConnectionWindowTests : public Suite
{
    Q_OBJECT

private slots:
    void clientTextShowsOnDarkYellow();
    void sendDeliversTypedTextAndShowsItOnDarkGray();
    void latin1BothWays();
    void zeroByteShowsInAnyFontAndConversationGoesOn();
    void htmlLookingDataShownLiterally();
    void crLfIsOneLineBreakAndEachChunkItsOwnParagraph();
    void clientThatEndsItsSendingCanStillBeAnswered();
    void clientThatClosesAtOnceStillMarkedInactive();
    void closingWindowClosesConnection();
    void selectionAndActiveWindowStayInStep();
    void rowsInIdentifierOrder();
    void renameThroughModel();
    void firstAndLastWindowSignals();
    void duplicateEndpointsGetTwoRows();
    void windowClosedWhileClientStreams();
    void floodIsRecordedWholeWhileTheViewKeepsUp();
    void longConversationKeepsNewestLines();
};

// Also: in a main window too small for it, the new window is placed and
// sized inside the area, every part of it in reach.
void ConnectionWindowTests::clientTextShowsOnDarkYellow()
{
    App app;
    app.window->resize(480, 360);
    const unsigned short port = app.startListening();
    QVERIFY(port != 0);
    TestClient client(port);
    QVERIFY(client.isConnected());
    QVERIFY(client.write("hello"));
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    QVERIFY(app.window->mdiArea->viewport()->rect().contains(subWindowOf(window)->geometry()));
    QTRY_VERIFY_WITH_TIMEOUT(hasBlock(window->textEdit->document(), "hello", remoteColor()), timeoutMs);
    QCOMPARE(window->windowTitle(), titleFor(client.localPort()));
    QCOMPARE(subWindowOf(window)->windowTitle(), titleFor(client.localPort()));
    QVERIFY(window->sendButton->isEnabled());
    QVERIFY(window->textEdit_2->isEnabled());
}

void ConnectionWindowTests::sendDeliversTypedTextAndShowsItOnDarkGray()
{
    App app;
    TestClient client(app.startListening());
    QVERIFY(client.write("question"));
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    QTRY_VERIFY_WITH_TIMEOUT(hasBlock(window->textEdit->document(), "question", remoteColor()), timeoutMs);

    window->textEdit_2->setPlainText("hi there\nsecond line");
    QTest::mouseClick(window->sendButton, Qt::LeftButton);
    QCOMPARE(window->textEdit_2->toPlainText(), QString());
    // The IO thread writes; the bytes are on their way without the event loop.
    QCOMPARE(client.read(20, std::chrono::milliseconds(timeoutMs)), std::string("hi there\nsecond line"));
    QTRY_VERIFY_WITH_TIMEOUT(hasBlock(window->textEdit->document(), "hi there", localColor()), timeoutMs);
    QVERIFY(hasBlock(window->textEdit->document(), "second line", localColor()));
    QVERIFY(hasBlock(window->textEdit->document(), "question", remoteColor()));
}

void ConnectionWindowTests::latin1BothWays()
{
    App app;
    TestClient client(app.startListening());
    QVERIFY(client.write("caf\xE9 \xFF"));
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    QTRY_VERIFY_WITH_TIMEOUT(hasBlock(window->textEdit->document(), QString::fromUtf8("café ÿ"), remoteColor()),
                             timeoutMs);

    window->textEdit_2->setPlainText(QString::fromUtf8("€5 é"));
    window->sendButton->click();
    QCOMPARE(client.read(4, std::chrono::milliseconds(timeoutMs)), std::string("?5 \xE9"));
    QTRY_VERIFY_WITH_TIMEOUT(hasBlock(window->textEdit->document(), QString::fromUtf8("?5 é"), localColor()),
                             timeoutMs);
}

void ConnectionWindowTests::zeroByteShowsInAnyFontAndConversationGoesOn()
{
    App app;
    TestClient client(app.startListening());
    QVERIFY(client.write(std::string("\0first", 6)));
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    // Written as an escape in a colour of its own: every font has those characters.
    const QString nul("\\0");
    QTRY_VERIFY_WITH_TIMEOUT(hasBlock(window->textEdit->document(), nul + "first", remoteColor()), timeoutMs);
    const QTextFragment escape = window->textEdit->document()->firstBlock().begin().fragment();
    QCOMPARE(escape.text(), nul);
    QVERIFY(escape.charFormat().foreground().color() != window->textEdit->document()->firstBlock().charFormat().foreground().color());

    QVERIFY(client.write(std::string("a\0b", 3)));
    QTRY_VERIFY_WITH_TIMEOUT(hasBlock(window->textEdit->document(), "a" + nul + "b", remoteColor()), timeoutMs);
    QVERIFY(client.write("later"));
    QTRY_VERIFY_WITH_TIMEOUT(hasBlock(window->textEdit->document(), "later", remoteColor()), timeoutMs);

    QVERIFY(window->sendButton->isEnabled());
    QVERIFY(!subWindowOf(window)->windowTitle().contains("(inactive)"));
    window->textEdit_2->setPlainText("still here");
    window->sendButton->click();
    QCOMPARE(client.read(10, std::chrono::milliseconds(timeoutMs)), std::string("still here"));
}

void ConnectionWindowTests::htmlLookingDataShownLiterally()
{
    App app;
    TestClient client(app.startListening());
    QVERIFY(client.write("<b>x</b> &amp; <i>y"));
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    QTextDocument* document = window->textEdit->document();
    QTRY_VERIFY_WITH_TIMEOUT(hasBlock(document, "<b>x</b> &amp; <i>y", remoteColor()), timeoutMs);
    for (const QList<Run>& block : conversationRuns(document)) {
        for (const Run& run : block)
            QVERIFY(run.text.isEmpty() || run.background == remoteColor());
    }
    QCOMPARE(document->blockCount(), 1);
}

void ConnectionWindowTests::crLfIsOneLineBreakAndEachChunkItsOwnParagraph()
{
    App app;
    TestClient client(app.startListening());
    QVERIFY(client.write("one\r\ntwo"));
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    QTextDocument* document = window->textEdit->document();
    QTRY_COMPARE_WITH_TIMEOUT(blockTexts(document), QStringList({"one", "two"}), timeoutMs);

    // A second chunk, sent after the first is shown, starts a paragraph of its own.
    QVERIFY(client.write("three"));
    QTRY_COMPARE_WITH_TIMEOUT(blockTexts(document), QStringList({"one", "two", "three"}), timeoutMs);
    QVERIFY(hasBlock(document, "three", remoteColor()));
}

// A client that ends its sending and waits for the answer gets it; once the
// connection can take nothing more, a reply is shown as not sent and the input
// goes off.
void ConnectionWindowTests::clientThatEndsItsSendingCanStillBeAnswered()
{
    App app;
    TestClient client(app.startListening());
    QVERIFY(client.write("GET / HTTP/1.0\r\n\r\n"));
    client.shutdownWrite();
    const unsigned short clientPort = client.localPort();
    ConnectionWindow* window = app.waitForWindow(clientPort);
    QVERIFY(window);
    const QString inactive = titleFor(clientPort) + "(inactive)";
    QTRY_COMPARE_WITH_TIMEOUT(subWindowOf(window)->windowTitle(), inactive, timeoutMs);
    QCOMPARE(app.manager()->stringList(), QStringList({inactive}));
    QVERIFY(window->sendButton->isEnabled());
    QVERIFY(window->textEdit_2->isEnabled());

    window->textEdit_2->setPlainText("the answer");
    window->sendButton->click();
    QCOMPARE(client.read(10, std::chrono::milliseconds(timeoutMs)), std::string("the answer"));
    QVERIFY(app.log.waitForLine("sendDone."));

    // Gone for good: the first write after the close may still be taken by the
    // system, a later one fails.
    client.close();
    const QString notSent = "[The reply above was not sent: ";
    auto failureShown = [&] {
        return window->textEdit->document()->toPlainText().contains(notSent);
    };
    for (int attempt = 0; attempt < 5 && !failureShown(); ++attempt) {
        window->textEdit_2->setPlainText("too late");
        window->sendButton->click();
        waitFor([&] { return failureShown() || app.log.countLines("sendDone.") > attempt + 1; });
    }
    QTRY_VERIFY_WITH_TIMEOUT(failureShown(), timeoutMs);
    QVERIFY(app.log.countLinesStartingWith("send failed: ") >= 1);
    QTRY_VERIFY_WITH_TIMEOUT(!window->sendButton->isEnabled(), timeoutMs);
    QVERIFY(!window->textEdit_2->isEnabled());
    // The note follows the reply it is about, however the result and the reply raced.
    QTRY_VERIFY_WITH_TIMEOUT(window->isViewCaughtUp(), timeoutMs);
    QVERIFY(hasBlock(window->textEdit->document(), "the answer", localColor()));
    const QTextBlock note = window->textEdit->document()->find(notSent).block();
    QCOMPARE(note.previous().text(), QString("too late"));
}

void ConnectionWindowTests::clientThatClosesAtOnceStillMarkedInactive()
{
    App app;
    const unsigned short port = app.startListening();
    QList<unsigned short> clientPorts;
    for (int i = 0; i < 5; ++i) {
        TestClient client(port);
        QVERIFY(client.isConnected());
        clientPorts.append(client.localPort());
    }
    for (unsigned short clientPort : clientPorts) {
        ConnectionWindow* window = app.waitForWindow(clientPort);
        QVERIFY(window);
        QTRY_COMPARE_WITH_TIMEOUT(subWindowOf(window)->windowTitle(), titleFor(clientPort) + "(inactive)",
                                  timeoutMs);
    }
    QCOMPARE(app.manager()->rowCount(), 5);
}

void ConnectionWindowTests::closingWindowClosesConnection()
{
    App app;
    TestClient client(app.startListening());
    QVERIFY(client.write("hello"));
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    QVERIFY(app.closeWindow(window));
    QVERIFY(client.waitForClose(std::chrono::milliseconds(timeoutMs)));
    QCOMPARE(app.manager()->rowCount(), 0);
    QVERIFY(app.connectionWindows().isEmpty());
}

void ConnectionWindowTests::selectionAndActiveWindowStayInStep()
{
    App app;
    const unsigned short port = app.startListening();
    TestClient clients[3];
    for (TestClient& client : clients)
        QVERIFY(client.connect(port));
    QList<ConnectionWindow*> windows;
    for (TestClient& client : clients) {
        windows.append(app.waitForWindow(client.localPort()));
        QVERIFY(windows.back());
    }
    QTRY_COMPARE_WITH_TIMEOUT(app.manager()->rowCount(), 3, timeoutMs);
    QTreeView* tree = app.window->treeView;
    QMdiArea* area = app.window->mdiArea;
    ConnectionWindowManager* manager = app.manager();

    for (int row = 0; row < 3; ++row) {
        tree->selectionModel()->select(manager->index(row, 0), QItemSelectionModel::ClearAndSelect);
        QCOMPARE(area->activeSubWindow(), manager->getConnectionWindowPtr(manager->index(row, 0)));
        QCOMPARE(selectedRows(tree), QList<int>({row}));
    }

    for (ConnectionWindow* window : windows) {
        QMdiSubWindow* subWindow = subWindowOf(window);
        area->setActiveSubWindow(subWindow);
        QCOMPARE(area->activeSubWindow(), subWindow);
        const int row = manager->getModelIndex(subWindow);
        QVERIFY(row >= 0);
        QCOMPARE(selectedRows(tree), QList<int>({row}));
        QCOMPARE(manager->data(manager->index(row, 0)).toString(), subWindow->windowTitle());
    }
}

void ConnectionWindowTests::rowsInIdentifierOrder()
{
    App app;
    const unsigned short port = app.startListening();
    TestClient clients[3];
    for (TestClient& client : clients)
        QVERIFY(client.connect(port));
    // A client from 127.0.0.2 sorts after every 127.0.0.1 one, whatever its port.
    BoundClient other;
    QVERIFY(other.connect("127.0.0.2", 0, "127.0.0.1", port));

    QStringList expected;
    for (TestClient& client : clients)
        expected.append(titleFor(client.localPort()));
    expected.append(titleFor(other.localPort(), "127.0.0.2"));
    std::sort(expected.begin(), expected.end());

    QTRY_COMPARE_WITH_TIMEOUT(app.manager()->rowCount(), 4, timeoutMs);
    QCOMPARE(app.manager()->stringList(), expected);
    QCOMPARE(app.manager()->stringList().last(), titleFor(other.localPort(), "127.0.0.2"));
    for (int row = 0; row < 4; ++row) {
        QMdiSubWindow* subWindow = app.manager()->getConnectionWindowPtr(app.manager()->index(row, 0));
        QVERIFY(subWindow);
        QCOMPARE(subWindow->windowTitle(), expected.at(row));
    }
}

void ConnectionWindowTests::renameThroughModel()
{
    App app;
    TestClient client(app.startListening());
    const unsigned short clientPort = client.localPort();
    ConnectionWindow* window = app.waitForWindow(clientPort);
    QVERIFY(window);
    QTRY_COMPARE_WITH_TIMEOUT(app.manager()->rowCount(), 1, timeoutMs);
    ConnectionWindowManager* manager = app.manager();
    QMdiSubWindow* subWindow = subWindowOf(window);

    QVERIFY(manager->setData(manager->index(0, 0), "Test client", Qt::EditRole));
    QCOMPARE(manager->stringList(), QStringList({"Test client"}));
    QCOMPARE(subWindow->windowTitle(), QString("Test client"));
    QCOMPARE(window->getWindowId(), QString("127.0.0.1:%1").arg(clientPort));
    QVERIFY(!manager->setData(QModelIndex(), "nothing", Qt::EditRole));

    client.close();
    QTRY_COMPARE_WITH_TIMEOUT(subWindow->windowTitle(), QString("Test client(inactive)"), timeoutMs);
    QCOMPARE(manager->stringList(), QStringList({"Test client(inactive)"}));
    // Every row that changes is written to standard output.
    QCOMPARE(app.log.countLines("updateDataModel adding Test client"), 1);
    QCOMPARE(app.log.countLines("updateDataModel adding Test client(inactive)"), 1);

    // A long name shows whole: the list widens while there is room, and
    // what does not fit is cut in the middle, keeping both ends.
    const QString longName = "Connection from: [2001:db8:85a3::8a2e:370:7334]:65535(inactive)";
    QVERIFY(manager->setData(manager->index(0, 0), longName, Qt::EditRole));
    QCOMPARE(app.window->treeView->textElideMode(), Qt::ElideMiddle);
    const int needed = app.window->treeView->fontMetrics().horizontalAdvance(longName);
    QTRY_VERIFY_WITH_TIMEOUT(app.window->treeView->viewport()->width() >= needed ||
                                 app.window->dockWidget->width() >= app.window->width() / 3,
                             timeoutMs);

    QVERIFY(manager->setData(manager->index(0, 0), "Renamed", Qt::EditRole));
    QCOMPARE(subWindow->windowTitle(), QString("Renamed"));
    QCOMPARE(manager->stringList(), QStringList({"Renamed"}));

    QVERIFY(manager->setData(manager->index(0, 0), QString(), Qt::EditRole));
    QCOMPARE(subWindow->windowTitle(), QString());
    QCOMPARE(manager->stringList(), QStringList({QString()}));
    QCOMPARE(manager->rowCount(), 1);
}

void ConnectionWindowTests::firstAndLastWindowSignals()
{
    App app;
    const unsigned short port = app.startListening();
    QSignalSpy first(app.manager(), &ConnectionWindowManager::onFirstSubwindowCreated);
    QSignalSpy last(app.manager(), &ConnectionWindowManager::onLastSubwindowClosed);
    QVERIFY(!app.window->tileWindows->isEnabled());

    TestClient a(port);
    ConnectionWindow* windowA = app.waitForWindow(a.localPort());
    QVERIFY(windowA);
    QCOMPARE(first.count(), 1);
    QCOMPARE(last.count(), 0);
    QVERIFY(app.window->tileWindows->isEnabled());

    TestClient b(port);
    ConnectionWindow* windowB = app.waitForWindow(b.localPort());
    QVERIFY(windowB);
    QCOMPARE(first.count(), 1);

    QVERIFY(app.closeWindow(windowA));
    QCOMPARE(last.count(), 0);
    QVERIFY(app.window->closeAll->isEnabled());
    QVERIFY(app.closeWindow(windowB));
    QCOMPARE(last.count(), 1);
    QCOMPARE(first.count(), 1);
    QVERIFY(!app.window->closeAll->isEnabled());

    TestClient c(port);
    QVERIFY(app.waitForWindow(c.localPort()));
    QCOMPARE(first.count(), 2);
    QCOMPARE(last.count(), 1);
}

void ConnectionWindowTests::duplicateEndpointsGetTwoRows()
{
    App app;
    const unsigned short port = app.startListening();
    // Same local address and port, two server addresses: two connections
    // whose endpoint text is the same.
    BoundClient first;
    QVERIFY(first.connect("127.0.0.1", 0, "127.0.0.1", port));
    const unsigned short clientPort = first.localPort();
    ConnectionWindow* firstWindow = app.waitForWindow(clientPort);
    QVERIFY(firstWindow);
    BoundClient second;
    QVERIFY(second.connect("127.0.0.1", clientPort, "127.0.0.2", port));
    QTRY_COMPARE_WITH_TIMEOUT(app.connectionWindows().size(), 2, timeoutMs);

    const QString endpoint = QString("127.0.0.1:%1").arg(clientPort);
    ConnectionWindow* secondWindow = nullptr;
    for (ConnectionWindow* window : app.connectionWindows()) {
        if (window != firstWindow)
            secondWindow = window;
    }
    QVERIFY(secondWindow);
    QCOMPARE(firstWindow->getWindowId(), endpoint);
    QCOMPARE(secondWindow->getWindowId(), endpoint + "#2");
    QCOMPARE(secondWindow->windowTitle(), titleFor(clientPort));
    QCOMPARE(app.manager()->stringList(), QStringList({titleFor(clientPort), titleFor(clientPort)}));

    QVERIFY(second.write("from the second"));
    QTRY_VERIFY_WITH_TIMEOUT(hasBlock(secondWindow->textEdit->document(), "from the second", remoteColor()),
                             timeoutMs);
    QVERIFY(firstWindow->textEdit->document()->isEmpty());

    QVERIFY(app.closeWindow(firstWindow));
    QVERIFY(first.waitForClose(timeoutMs));
    QCOMPARE(app.manager()->rowCount(), 1);
    QCOMPARE(app.manager()->getConnectionWindowPtr(app.manager()->index(0, 0)), subWindowOf(secondWindow));

    second.close();
    QTRY_COMPARE_WITH_TIMEOUT(app.manager()->stringList(), QStringList({titleFor(clientPort) + "(inactive)"}),
                              timeoutMs);
    QVERIFY(app.closeWindow(secondWindow));
    QCOMPARE(app.manager()->rowCount(), 0);
}

void ConnectionWindowTests::windowClosedWhileClientStreams()
{
    App app;
    const unsigned short port = app.startListening();
    TestClient streamer(port);
    QVERIFY(streamer.isConnected());
    std::atomic<bool> writerDone{false};
    std::thread writer([&] {
        const std::string block(256 * 1024, 'x');
        for (int i = 0; i < 32 && streamer.write(block); ++i) {
        }
        writerDone = true;
    });

    ConnectionWindow* window = app.waitForWindow(streamer.localPort());
    QVERIFY(window);
    QTRY_VERIFY_WITH_TIMEOUT(!window->textEdit->document()->isEmpty(), timeoutMs);
    QVERIFY(app.closeWindow(window));
    // The writer ends, either done or refused by the closed connection.
    const bool ended = waitFor([&] { return writerDone.load(); });
    if (!ended)
        streamer.reset();
    writer.join();
    QVERIFY(ended);

    // The program goes on serving.
    TestClient next(port);
    QVERIFY(next.write("next"));
    ConnectionWindow* nextWindow = app.waitForWindow(next.localPort());
    QVERIFY(nextWindow);
    QTRY_VERIFY_WITH_TIMEOUT(hasBlock(nextWindow->textEdit->document(), "next", remoteColor()), timeoutMs);
}

// A flood is taken at the client's pace: every byte lands in the transcript in
// order, while the view draws what it can, marks what it skipped and ends
// with the newest lines. Then more short lines than the view keeps: the oldest
// make way, with a marker where they were.
void ConnectionWindowTests::floodIsRecordedWholeWhileTheViewKeepsUp()
{
    App app;
    const unsigned short port = app.startListening();
    const std::string data = numberedLines(30 * 1024 * 1024);
    TestClient flooder(port);
    QVERIFY(flooder.isConnected());
    std::atomic<bool> writerOk{false};
    JoiningThread writer([&] {
        writerOk = flooder.write(data);
        flooder.shutdownWrite();
    });
    ConnectionWindow* window = app.waitForWindow(flooder.localPort());
    QVERIFY(window);
    const bool ended = waitFor([&] { return app.manager()->stringList().value(0).endsWith("(inactive)"); }, 120000);
    if (!ended)
        flooder.reset();
    writer.join();
    QVERIFY(writerOk.load());
    QVERIFY2(ended, "the end of the connection was never shown");

    const Transcript& transcript = window->getTranscript();
    std::string recorded;
    QCOMPARE(transcript.read(0, transcript.size() + 1, recorded), data.size());
    QVERIFY(recorded == data);
    QVERIFY(window->isViewCaughtUp());
    // Chunk boundaries add line breaks of their own: compare without any.
    QString shown = window->textEdit->document()->toPlainText();
    shown.remove(QLatin1Char('\n'));
    const QString lastLine = QString::fromLatin1(data.substr(data.rfind('\n', data.size() - 2) + 1).c_str()).trimmed();
    QVERIFY(shown.endsWith(lastLine));
    if (window->getFeed().getSkippedBytes() > 0)
        QVERIFY(shown.contains("bytes arrived faster than they could be drawn"));
}

void ConnectionWindowTests::longConversationKeepsNewestLines()
{
    App app;
    const unsigned short port = app.startListening();
    std::string data;
    const int lineCount = 60000;
    for (int line = 0; line < lineCount; ++line)
        data += std::to_string(line) + '\n';
    TestClient client(port);
    QVERIFY(client.isConnected());
    ConnectionWindow* window = nullptr;
    QVERIFY(client.write("0\n"));
    window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    const int maxCharacters = 100000;
    window->textEdit->setMaxCharacters(maxCharacters);
    // Everything is drawn here, however far behind the view falls.
    window->getFeed().setSkipThreshold(std::uint64_t(1) << 40);
    QVERIFY(client.write(data.substr(2)));
    client.shutdownWrite();
    QVERIFY(waitFor([&] { return app.manager()->stringList().value(0).endsWith("(inactive)"); }, 120000));

    QTextDocument* document = window->textEdit->document();
    QVERIFY(document->characterCount() <= maxCharacters);
    QVERIFY(document->firstBlock().text().startsWith("[Older lines were dropped from this view"));
    QCOMPARE(document->lastBlock().previous().text(), QString::number(lineCount - 1));
    QVERIFY(app.log.countLinesStartingWith("conversation view dropped ") >= 1);
    // After the marker, the newest lines in order; chunk boundaries add line
    // breaks of their own, so compare without any.
    QString shown = document->toPlainText();
    shown = shown.mid(shown.indexOf('\n') + 1);
    shown.remove(QLatin1Char('\n'));
    QString sent = QString::fromLatin1(data.data(), static_cast<qsizetype>(data.size()));
    sent.remove(QLatin1Char('\n'));
    QVERIFY(shown.size() > maxCharacters / 3);
    QVERIFY(sent.endsWith(shown));

    // Home and End, with Ctrl or without, go to the start and the end.
    QScrollBar* bar = window->textEdit->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QTest::keyClick(window->textEdit, Qt::Key_Home, Qt::ControlModifier);
    QCOMPARE(bar->value(), bar->minimum());
    QTest::keyClick(window->textEdit, Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(bar->value(), bar->maximum());
    QTest::keyClick(window->textEdit, Qt::Key_Home);
    QCOMPARE(bar->value(), bar->minimum());
}

BRINDLEWICK_GUI_TEST_MAIN(ConnectionWindowTests)
#include "ConnectionWindowTests.moc"
