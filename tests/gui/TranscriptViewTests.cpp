// What a connection window keeps and shows of a conversation: the transcript,
// the three views, time stamps, counts, saving, and reading that pauses when
// the transcript's file cannot be written. Real widgets, a real Core and real
// clients on 127.0.0.1.
#include "GuiTestSupport.h"

#include "ConnectionWindow.h"
#include "ConnectionWindowManager.h"
#include "ConversationFeed.h"
#include "HexView.h"
#include "MainWindow.h"
#include "RemoteLocalDataViewer.h"
#include "Transcript.h"

#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>

#include <sys/resource.h>

#include <csignal>

using namespace GuiTest;
using TestSupport::JoiningThread;
using TestSupport::TestClient;

namespace
{
std::string allByteValues()
{
    std::string bytes(256, '\0');
    for (int i = 0; i < 256; ++i)
        bytes[static_cast<std::size_t>(i)] = static_cast<char>(i);
    return bytes;
}

std::uint64_t receivedBytes(const ConnectionWindow* window)
{
    return window->getTranscript().totals().bytes[static_cast<int>(Direction::Received)];
}

// Counts the paint events a widget gets.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        count += event->type() == QEvent::Paint;
        return false;
    }
};

QByteArray fileContents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
}

class TranscriptViewTests : public Suite
{
    Q_OBJECT

private slots:
    void viewsShowEveryByteAndSavingKeepsThem();
    void replyDuringALongChunkKeepsItsOwnParagraph();
    void fullDiskPausesReadingAndLosesNothing();
    void scrollBarPaintsOnlyWhatChanges();
};

void TranscriptViewTests::viewsShowEveryByteAndSavingKeepsThem()
{
    App app;
    TestClient client(app.startListening());
    const std::string bytes = allByteValues();
    QVERIFY(client.write(bytes));
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    QTRY_COMPARE_WITH_TIMEOUT(receivedBytes(window), std::uint64_t(256), timeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(window->countsLabel->text().startsWith("Received 256 bytes in "), timeoutMs);

    // Control bytes written out, a line break after each LF.
    window->viewModeBox->setCurrentIndex(static_cast<int>(ConnectionWindow::ViewMode::ControlBytes));
    QTextDocument* document = window->textEdit->document();
    QTRY_VERIFY_WITH_TIMEOUT(window->isViewCaughtUp() && !document->isEmpty(), timeoutMs);
    QCOMPARE(document->firstBlock().text(), QString("\\x00\\x01\\x02\\x03\\x04\\x05\\x06\\x07\\x08\\t\\n"));
    QVERIFY(document->firstBlock().next().text().startsWith("\\x0b\\x0c\\r\\x0e"));
    QVERIFY(document->toPlainText().contains(" !\"#$%&'()*+,-./0123456789"));
    QVERIFY(document->toPlainText().contains("~\\x7f\\x80"));

    // Time stamps start every chunk's paragraph.
    window->timeStampsBox->setChecked(true);
    QTRY_VERIFY_WITH_TIMEOUT(window->isViewCaughtUp() && !document->isEmpty(), timeoutMs);
    QVERIFY(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d \\\\x00").match(document->firstBlock().text()).hasMatch());

    // Hex: a line per chunk, then 16 bytes a row with their offset.
    window->viewModeBox->setCurrentIndex(static_cast<int>(ConnectionWindow::ViewMode::Hex));
    HexView* hex = window->getHexView();
    QVERIFY(hex && hex->isVisible() && !window->textEdit->isVisible());
    QVERIFY(hex->rowText(0).startsWith("received "));
    QString firstRow = hex->rowText(1);
    QVERIFY(firstRow.remove(' ').startsWith("00000000000102030405060708090a0b0c0d0e0f"));
    window->textEdit_2->setPlainText("ok");
    window->sendButton->click();
    QCOMPARE(client.read(2, std::chrono::milliseconds(timeoutMs)), std::string("ok"));
    QTRY_VERIFY_WITH_TIMEOUT(hex->rowText(hex->rowCount() - 2).startsWith("sent 2 bytes"), timeoutMs);

    // Saving: the received bytes exactly, and the whole conversation as text;
    // 50 MB more take the transcript past its memory into its file.
    const std::string random = TestSupport::patternBytes(50 * 1000 * 1000, 7);
    QVERIFY(client.write(random));
    QTRY_COMPARE_WITH_TIMEOUT(receivedBytes(window), std::uint64_t(256 + random.size()), 60000);
    QTemporaryDir folder;
    const QString raw = folder.filePath("received.bin");
    QCOMPARE(window->saveConversation(raw, ConnectionWindow::SaveFormat::ReceivedBytes), QString());
    QVERIFY(fileContents(raw) == QByteArray::fromStdString(bytes + random));
    const QString text = folder.filePath("conversation.txt");
    QCOMPARE(window->saveConversation(text, ConnectionWindow::SaveFormat::TranscriptText), QString());
    const QByteArray saved = fileContents(text);
    QVERIFY(saved.startsWith("--- received"));
    QVERIFY(saved.contains("\\x00\\x01\\x02"));
    QVERIFY(saved.contains("--- sent"));
    QVERIFY(!window->saveConversation(folder.filePath("missing/x.bin"), ConnectionWindow::SaveFormat::ReceivedBytes)
                 .isEmpty());
    // And as a capture: a pcapng file (its section header first) holding every byte.
    const QString capture = folder.filePath("conversation.pcapng");
    QCOMPARE(window->saveConversation(capture, ConnectionWindow::SaveFormat::Capture), QString());
    const QByteArray captured = fileContents(capture);
    QVERIFY(captured.startsWith(QByteArray("\x0a\x0d\x0d\x0a", 4)));
    QVERIFY(captured.size() > qsizetype(bytes.size() + random.size()));

    // Home and End, with Ctrl or without, go to the first and the last row.
    QTRY_VERIFY_WITH_TIMEOUT(hex->rowCount() > 1000, timeoutMs);
    QScrollBar* bar = hex->verticalScrollBar();
    QTest::keyClick(hex, Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(bar->value(), bar->maximum());
    QTest::keyClick(hex, Qt::Key_Home, Qt::ControlModifier);
    QCOMPARE(hex->firstVisibleRow(), std::uint64_t(0));
    QTest::keyClick(hex, Qt::Key_End);
    QCOMPARE(bar->value(), bar->maximum());
    QTest::keyClick(hex, Qt::Key_Home);
    QCOMPARE(bar->value(), 0);

    // The Window menu saves the active window's conversation, through the file dialog.
    const QString fromMenu = folder.filePath("menu.bin");
    ModalAnswerer answerer([&](QWidget* widget) {
        // Typed into the name field: selectFile() leaves the field alone once
        // it has the focus, and when it gets the focus is up to timing.
        if (auto* dialog = qobject_cast<QFileDialog*>(widget)) {
            if (auto* name = dialog->findChild<QLineEdit*>("fileNameEdit"))
                name->setText(fromMenu);
            static_cast<QDialog*>(dialog)->accept();
        }
    });
    app.window->mdiArea->setActiveSubWindow(qobject_cast<QMdiSubWindow*>(window->parentWidget()));
    QVERIFY(app.window->saveConversationAction->isEnabled());
    app.window->saveConversationAction->trigger();
    QCOMPARE(answerer.answered(), 1);
    QVERIFY(fileContents(fromMenu) == QByteArray::fromStdString(bytes + random));
}

// A reply sent while a long chunk is still being drawn waits for it: each
// keeps its paragraph and its colour. The view wraps the long line, follows
// the end, and stays put once the user scrolls up.
void TranscriptViewTests::replyDuringALongChunkKeepsItsOwnParagraph()
{
    App app;
    TestClient client(app.startListening());
    QVERIFY(client.write("first\n"));
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    window->getFeed().setSkipThreshold(std::uint64_t(1) << 40);
    QVERIFY(client.write(std::string(1000000, 'x')));
    QTRY_COMPARE_WITH_TIMEOUT(receivedBytes(window), std::uint64_t(1000006), timeoutMs);
    window->textEdit_2->setPlainText("reply");
    window->sendButton->click();
    QCOMPARE(client.read(5, std::chrono::milliseconds(timeoutMs)), std::string("reply"));

    QTextDocument* document = window->textEdit->document();
    QTRY_VERIFY_WITH_TIMEOUT(window->isViewCaughtUp() && hasBlock(document, "reply", localColor()), timeoutMs);
    qsizetype remoteXs = 0;
    for (const QList<Run>& block : conversationRuns(document)) {
        for (const Run& run : block) {
            if (run.text.contains('x')) {
                QCOMPARE(run.background, remoteColor());
                remoteXs += run.text.size();
            }
        }
    }
    QCOMPARE(remoteXs, qsizetype(1000000));
    QCOMPARE(window->textEdit->horizontalScrollBar()->maximum(), 0);
    QScrollBar* bar = window->textEdit->verticalScrollBar();
    QTRY_VERIFY_WITH_TIMEOUT(bar->maximum() > 0 && bar->value() == bar->maximum(), timeoutMs);

    bar->setValue(0);
    QVERIFY(client.write("more\n"));
    QTRY_VERIFY_WITH_TIMEOUT(window->isViewCaughtUp() && hasBlock(document, "more", remoteColor()), timeoutMs);
    QCOMPARE(bar->value(), 0);
}

// The transcript's file refuses to grow: reading pauses (the client is pushed
// back), the window says why, and once there is room again reading goes on
// and nothing is missing.
void TranscriptViewTests::fullDiskPausesReadingAndLosesNothing()
{
    QTemporaryDir folder;
    TranscriptLimits limits;
    limits.memoryBudget = 64 * 1024;
    limits.blockSize = 16 * 1024;
    limits.spillDirectory = folder.path().toStdString();
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 256 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    auto restore = [&] { setrlimit(RLIMIT_FSIZE, &saved); };

    App app;
    app.manager()->setTranscriptLimits(limits);
    TestClient client(app.startListening());
    const std::string data = TestSupport::patternBytes(2 * 1000 * 1000, 3);
    std::atomic<bool> written{false};
    JoiningThread writer([&] { written = client.write(data); });
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    const bool paused = window && waitFor([&] { return window->stateLabel->isVisible(); });
    // The row and the status bar say so too, whichever window is in front.
    const QModelIndex row = app.manager()->index(0, 0);
    const bool marked = paused && !app.manager()->data(row, Qt::DecorationRole).isNull();
    const QString statusWhilePaused = app.window->getPausedReadingText();
    restore();
    QVERIFY(paused);
    QVERIFY(window->stateLabel->text().contains("paused"));
    QVERIFY(receivedBytes(window) < data.size());
    QVERIFY(marked);
    QCOMPARE(statusWhilePaused, QString("Reading paused for 1 connection: a transcript file cannot be written"));

    QTRY_COMPARE_WITH_TIMEOUT(receivedBytes(window), std::uint64_t(data.size()), timeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!window->stateLabel->isVisible(), timeoutMs);
    QVERIFY(app.manager()->data(row, Qt::DecorationRole).isNull());
    QVERIFY(app.window->getPausedReadingText().isEmpty());
    writer.join();
    QVERIFY(written.load());
    std::string recorded;
    window->getTranscript().read(0, data.size(), recorded);
    QVERIFY(recorded == data);
}

// Following the end, the scroll bar's range grows with every line while its
// slider, at its least length, stays at the bottom: the text repaints, the
// scroll bar need not. Once the slider moves it is painted again, also when
// that happens while the view holds its paints between frames.
void TranscriptViewTests::scrollBarPaintsOnlyWhatChanges()
{
    RemoteLocalDataViewer viewer;
    // A scroll bar that appears narrows the text, which is then laid out
    // anew in steps, moving the slider for a while.
    viewer.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewer.resize(400, 200);
    viewer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
    QScrollBar* bar = viewer.verticalScrollBar();
    PaintCounter textPaints(viewer.viewport());
    PaintCounter barPaints(bar);
    int line = 0;
    auto addLines = [&](int count) {
        viewer.beginBatch();
        for (int i = 0; i < count; ++i, ++line) {
            const std::string text = "line " + std::to_string(line) + "\n";
            viewer.beginChunk(Direction::Received, 0, -1);
            viewer.appendBytes(text.data(), text.size());
            viewer.endChunk();
        }
        viewer.endBatch();
    };
    // A line first: the first text of a document is laid out in steps.
    addLines(1);
    QTRY_VERIFY_WITH_TIMEOUT(textPaints.count > 0, timeoutMs);
    // Then until the slider is as short as it gets.
    addLines(2000);
    const int textBefore = textPaints.count;
    QTRY_VERIFY_WITH_TIMEOUT(textPaints.count > textBefore && bar->value() == bar->maximum(), timeoutMs);

    for (int round = 0; round < 5; ++round) {
        const int textBefore = textPaints.count;
        const int barBefore = barPaints.count;
        addLines(3);
        QTRY_VERIFY_WITH_TIMEOUT(textPaints.count > textBefore, timeoutMs);
        QCOMPARE(bar->value(), bar->maximum());
        QCOMPARE(barPaints.count, barBefore);
    }

    int barBefore = barPaints.count;
    bar->setValue(0);
    QTRY_VERIFY_WITH_TIMEOUT(barPaints.count > barBefore, timeoutMs);
    // Lines added in one frame and the slider moved before the next: the
    // scroll bar is painted once the view lets go of it.
    addLines(1);
    barBefore = barPaints.count;
    addLines(1);
    bar->setValue(bar->maximum() / 2);
    QTRY_VERIFY_WITH_TIMEOUT(barPaints.count > barBefore, timeoutMs);
}

BRINDLEWICK_GUI_TEST_MAIN(TranscriptViewTests)
#include "TranscriptViewTests.moc"

