// Sending exactly the bytes a client needs: input modes, line endings, HTTP
// status lines, saved replies and auto-reply, with real windows and real
// clients on 127.0.0.1, checked byte for byte at the client.
#include "GuiTestSupport.h"

#include "AttributesEditor.h"
#include "AttributesModel.h"
#include "ConnectionWindow.h"
#include "Core.h"
#include "MainWindow.h"
#include "ProtocolFactory.h"

#include <QFileDialog>
#include <QFileSystemModel>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>

#include <algorithm>
#include <cerrno>

using namespace GuiTest;
using TestSupport::TestClient;

namespace
{
const std::chrono::milliseconds readTimeout(timeoutMs);

// lineEnding -1 keeps the window's choice.
void type(ConnectionWindow* window, const QString& text, int mode, int lineEnding = -1)
{
    window->inputModeBox->setCurrentIndex(mode);
    if (lineEnding >= 0)
        window->lineEndingBox->setCurrentIndex(lineEnding);
    window->textEdit_2->setPlainText(text);
}

std::string httpResponse(const std::string& status, const std::string& contentType, const std::string& body)
{
    return "HTTP/1.0 " + status + "\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Every byte the transcript holds as sent, in its order.
std::string sentBytes(const Transcript& transcript)
{
    std::string all, piece;
    for (std::size_t i = 0; i < transcript.chunkCount(); ++i) {
        const Chunk chunk = transcript.chunk(i);
        if (chunk.direction != Direction::Sent)
            continue;
        transcript.read(chunk.offset, chunk.length, piece);
        all += piece;
    }
    return all;
}

bool showsNote(ConnectionWindow* window, const QString& start)
{
    const QStringList blocks = blockTexts(window->textEdit->document());
    return std::any_of(blocks.begin(), blocks.end(), [&](const QString& block) { return block.startsWith(start); });
}

std::uint64_t sentChunks(ConnectionWindow* window)
{
    return window->getTranscript().totals().chunks[static_cast<int>(Direction::Sent)];
}

// Presses a message box's button.
ModalAnswerer::Handler buttonAnswer(QMessageBox::StandardButton button)
{
    return [button](QWidget* widget) {
        if (auto* box = qobject_cast<QMessageBox*>(widget))
            box->button(button)->click();
    };
}

// Answers the name dialog of Save as Reply with name.
ModalAnswerer::Handler nameAnswer(const QString& name)
{
    return [name](QWidget* widget) {
        if (auto* dialog = qobject_cast<QInputDialog*>(widget)) {
            dialog->setTextValue(name);
            dialog->accept();
        }
    };
}
}

class SendingTests : public Suite
{
    Q_OBJECT

private slots:
    void typedInputIsSentByteExactOrNotAtAll();
    void httpStatusSavedRepliesAndAutoReply();
    void damagedStoreFallsBackToDefaults();
    void fileFaultsAndPiecesReachTheClientAndShowAsEvents();
    void fileDialogsNeverReadContents();
};

void SendingTests::typedInputIsSentByteExactOrNotAtAll()
{
    {
        App app;
        QCOMPARE(app.window->actionQuit->shortcut(), QKeySequence("Ctrl+Q"));
        TestClient client(app.startListening());
        QVERIFY(client.write("hello"));
        ConnectionWindow* window = app.waitForWindow(client.localPort());
        QVERIFY(window);
        QCOMPARE(window->inputModeBox->currentText(), QString("Text"));

        type(window, "a\nb\n", 0, 1);
        QTest::keyClick(window->textEdit_2, Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(client.read(6, readTimeout), std::string("a\r\nb\r\n"));
        QCOMPARE(window->textEdit_2->toPlainText(), QString());

        type(window, QString::fromLatin1("x\\r\\n\\t\\0\\xfF\\\\\xE9"), 1);
        QVERIFY(!window->lineEndingBox->isEnabled());
        window->sendButton->click();
        QCOMPARE(client.read(8, readTimeout), std::string("x\r\n\t\0\xFF\\\xE9", 8));

        // Refused input stays, says why and sends nothing: the next bytes
        // the client gets are those of the next good send.
        type(window, "abc 12\\q", 1);
        window->sendButton->click();
        QCOMPARE(window->sendErrorLabel->text(), QString("Unknown escape \\q at position 7"));
        QCOMPARE(window->textEdit_2->toPlainText(), QString("abc 12\\q"));
        type(window, "41 4", 2);
        window->sendButton->click();
        QVERIFY(window->sendErrorLabel->text().startsWith("Odd number of hex digits"));
        window->textEdit_2->setPlainText("41 4 2");
        QCOMPARE(window->sendErrorLabel->text(), QString());
        window->sendButton->click();
        QCOMPARE(client.read(2, readTimeout), std::string("AB"));
        QTRY_COMPARE_WITH_TIMEOUT(sentChunks(window), std::uint64_t(3), timeoutMs);
    }
    // The last mode and line ending chosen are where new windows start,
    // in a group of their own.
    QSettings settings;
    QCOMPARE(settings.value("Sending/InputMode").toInt(), 2);
    QCOMPARE(settings.value("Sending/LineEnding").toInt(), 1);
    settings.beginGroup("MainWindow");
    QCOMPARE(settings.childKeys().size(), 8);
    settings.endGroup();
    App app;
    TestClient client(app.startListening());
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    QCOMPARE(window->inputModeBox->currentText(), QString("Hex"));
    QCOMPARE(window->lineEndingBox->currentText(), QString("CR LF"));
}

void SendingTests::httpStatusSavedRepliesAndAutoReply()
{
    App app;
    app.core->setProtocolType(ProtocolFactory::HTTP);
    TestClient first(app.startListening());
    QVERIFY(first.write("GET / HTTP/1.0\r\n\r\n"));
    ConnectionWindow* window = app.waitForWindow(first.localPort());
    QVERIFY(window && window->getStatusBox() && window->getCloseAfterResponseBox());
    QCOMPARE(window->getStatusBox()->currentText(), QString("200 OK"));
    QCOMPARE(window->getStatusBox()->count(), 17);

    // The rows under the input start folded; new windows unfold them as the
    // user last left them, and auto-reply unfolds them whatever was left.
    QVERIFY(!window->moreControls->isVisible());
    window->moreButton->click();
    QVERIFY(window->saveReplyButton->isVisible());

    window->getStatusBox()->setCurrentText("20 OK");
    type(window, "nope", 0);
    window->sendButton->click();
    QCOMPARE(window->sendErrorLabel->text(), QString("HTTP status \"20 OK\" must start with a 3-digit code"));
    window->getStatusBox()->setCurrentText("404 Not Found");
    window->sendButton->click();
    const std::string notFound = httpResponse("404 Not Found", "text/html", "nope");
    QCOMPARE(first.read(notFound.size(), readTimeout), notFound);

    // "Close after each response" ends the stream after the response, and says so.
    window->getCloseAfterResponseBox()->setChecked(true);
    type(window, "bye", 0);
    window->sendButton->click();
    const std::string bye = httpResponse("404 Not Found", "text/html", "bye");
    QCOMPARE(first.read(bye.size(), readTimeout), bye);
    QCOMPARE(TestSupport::readToEnd(first.handle()), 0);
    QTRY_VERIFY_WITH_TIMEOUT(showsNote(window, "[This side closed its sending"), timeoutMs);

    // Saved with the window's status and header lines, sent with them from
    // any window whatever that window's own are.
    window->getStatusBox()->setCurrentText("418 I'm a teapot");
    type(window, "short\\r\\nand stout", 1);
    {
        ModalAnswerer answerer(nameAnswer("teapot"));
        window->saveReplyButton->click();
        QCOMPARE(answerer.answered(), 1);
    }
    const std::string teapot = httpResponse("418 I'm a teapot", "text/html", "short\r\nand stout");
    TestClient second(app.boundPort());
    ConnectionWindow* other = app.waitForWindow(second.localPort());
    QVERIFY(other);
    QVERIFY(other->moreControls->isVisible());
    other->moreButton->click();
    // Nothing chosen: nothing to send or delete.
    QCOMPARE(other->savedRepliesBox->currentText(), QString());
    QVERIFY(!other->sendSavedButton->isEnabled() && !other->deleteReplyButton->isEnabled());
    other->savedRepliesBox->setCurrentIndex(other->savedRepliesBox->findText("teapot"));
    auto* editor = other->findChild<AttributesEditor*>();
    editor->getModel()->setData(editor->getModel()->index(0, 1), "text/plain");
    other->sendSavedButton->click();
    QCOMPARE(second.read(teapot.size(), readTimeout), teapot);

    // Auto-reply answers each chunk, and new windows start with it on.
    other->autoReplyBox->setChecked(true);
    QVERIFY(other->moreControls->isVisible());
    QVERIFY(second.write("GET /again HTTP/1.0\r\n\r\n"));
    // Auto-replies go out from the event loop: wait for them before reading.
    QTRY_COMPARE_WITH_TIMEOUT(sentChunks(other), std::uint64_t(2), timeoutMs);
    QCOMPARE(second.read(teapot.size(), readTimeout), teapot);
    TestClient third(app.boundPort());
    QVERIFY(third.write("GET /third HTTP/1.0\r\n\r\n"));
    ConnectionWindow* thirdWindow = app.waitForWindow(third.localPort());
    QVERIFY(thirdWindow && thirdWindow->autoReplyBox->isChecked() && thirdWindow->moreControls->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(hasBlock(thirdWindow->textEdit->document(), "HTTP/1.0 418 I'm a teapot", localColor()),
                             timeoutMs);
    QCOMPARE(third.read(teapot.size(), readTimeout), teapot);
    thirdWindow->autoReplyTriggerBox->setCurrentIndex(1);
    TestClient fourth(app.boundPort());
    ConnectionWindow* fourthWindow = app.waitForWindow(fourth.localPort());
    QVERIFY(fourthWindow);
    QTRY_COMPARE_WITH_TIMEOUT(sentChunks(fourthWindow), std::uint64_t(1), timeoutMs);
    QCOMPARE(fourth.read(teapot.size(), readTimeout), teapot);

    // A reply saved in one window is in every window's list at once, and
    // each keeps its choice.
    type(other, "more", 0);
    {
        ModalAnswerer answerer(nameAnswer("more"));
        other->saveReplyButton->click();
    }
    QCOMPARE(window->savedRepliesBox->count(), 2);
    QCOMPARE(window->savedRepliesBox->currentText(), QString("teapot"));
    QCOMPARE(thirdWindow->savedRepliesBox->currentText(), QString("teapot"));

    // Deleting asks first. Auto-reply whose reply is gone turns off, saying so.
    other->savedRepliesBox->setCurrentIndex(other->savedRepliesBox->findText("teapot"));
    {
        ModalAnswerer answerer(buttonAnswer(QMessageBox::No));
        other->deleteReplyButton->click();
        QCOMPARE(answerer.answered(), 1);
    }
    QCOMPARE(window->savedRepliesBox->count(), 2);
    {
        ModalAnswerer answerer(buttonAnswer(QMessageBox::Yes));
        other->deleteReplyButton->click();
        QCOMPARE(answerer.answered(), 1);
    }
    QCOMPARE(window->savedRepliesBox->count(), 1);
    QVERIFY(!thirdWindow->sendSavedButton->isEnabled() && !thirdWindow->autoReplyBox->isChecked());
    QVERIFY(!QSettings().value("AutoReply/Enabled").toBool());
    QTRY_VERIFY_WITH_TIMEOUT(showsNote(thirdWindow, "[Auto-reply is off: the saved reply teapot was deleted]"),
                             timeoutMs);
}

void SendingTests::damagedStoreFallsBackToDefaults()
{
    {
        QSettings settings;
        settings.setValue("Sending/InputMode", "banana");
        settings.setValue("Sending/LineEnding", 7);
        settings.setValue("Sending/MoreControls", "maybe");
        settings.setValue("AutoReply/Trigger", "later");
        settings.beginWriteArray("SavedReplies", 3);
        settings.setArrayIndex(0);
        settings.setValue("name", "bad mode");
        settings.setValue("mode", 9);
        settings.setValue("lineEnding", 0);
        settings.setArrayIndex(1);
        settings.setValue("name", "bad escape");
        settings.setValue("body", "\\q");
        settings.setValue("mode", 1);
        settings.setValue("lineEnding", 0);
        settings.setArrayIndex(2);
        settings.setValue("name", "good");
        settings.setValue("body", "6f6b");
        settings.setValue("mode", 2);
        settings.setValue("lineEnding", 0);
        settings.endArray();
    }
    App app;
    TestClient client(app.startListening());
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    QCOMPARE(window->inputModeBox->currentIndex(), 0);
    QCOMPARE(window->lineEndingBox->currentIndex(), 0);
    QCOMPARE(window->autoReplyTriggerBox->currentIndex(), 0);
    QCOMPARE(window->savedRepliesBox->count(), 1);
    QVERIFY(!window->moreControls->isVisible());
    const std::string log = app.log.text();
    QVERIFY(log.find("Ignoring invalid setting MoreControls: maybe") != std::string::npos);
    QVERIFY(log.find("Ignoring invalid setting InputMode: banana") != std::string::npos);
    QVERIFY(log.find("Ignoring invalid saved reply 1: unknown input mode or line ending") != std::string::npos);
    QVERIFY(log.find("Ignoring invalid saved reply 2: Unknown escape \\q at position 1") != std::string::npos);
    window->savedRepliesBox->setCurrentIndex(0);
    window->sendSavedButton->click();
    QCOMPARE(client.read(2, readTimeout), std::string("ok"));
}

// A file goes out whole and a reply typed meanwhile after it, on the wire and
// in the transcript; pieces, Close Sending and Reset reach the client, each
// shows in the conversation, and bad choices send nothing.
void SendingTests::fileFaultsAndPiecesReachTheClientAndShowAsEvents()
{
    App app;
    // A small receive window keeps the file in flight while the reply is typed.
    TestClient client;
    QVERIFY(client.open(4096) && client.connectOpened(app.startListening()));
    QVERIFY(client.write("hi"));
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);

    // More than the kernel's buffers hold: the file is still going out when
    // the reply typed after it is taken.
    const std::string contents = TestSupport::patternBytes(6 * 1024 * 1024 + 7, 3);
    TestSupport::TemporaryFile file(contents);
    QVERIFY(!window->sendFile(QString::fromStdString(file.directory() + "/missing")));
    QVERIFY(window->sendErrorLabel->text().endsWith("missing: No such file or directory"));
    QVERIFY(window->sendFile(QString::fromStdString(file.path())));
    type(window, "after", 0);
    window->sendButton->click();
    QCoreApplication::sendPostedEvents();
    const std::string expected = contents + "after";
    QCOMPARE(client.read(expected.size(), readTimeout), expected);
    QTRY_VERIFY_WITH_TIMEOUT(showsNote(window, "[Sent the file "), timeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(sentBytes(window->getTranscript()).size(), expected.size(), timeoutMs);
    QVERIFY(sentBytes(window->getTranscript()) == expected);

    window->piecesBox->setChecked(true);
    window->pieceSizeBox->setValue(0);
    type(window, "abcdefgh", 0);
    window->sendButton->click();
    QCOMPARE(window->sendErrorLabel->text(), QString("Send in pieces: a piece must be at least 1 byte"));
    QCOMPARE(window->textEdit_2->toPlainText(), QString("abcdefgh"));
    window->pieceSizeBox->setValue(3);
    window->pieceDelayBox->setValue(5);
    window->sendButton->click();
    QCOMPARE(client.read(8, readTimeout), std::string("abcdefgh"));
    QTRY_VERIFY_WITH_TIMEOUT(showsNote(window, "[Sent in 3 pieces of up to 3 bytes, 5 ms apart]"), timeoutMs);

    // After Close Sending the client reads the end, and what it sends still shows.
    window->closeSendingButton->click();
    QCOMPARE(TestSupport::readToEnd(client.handle()), 0);
    QTRY_VERIFY_WITH_TIMEOUT(showsNote(window, "[This side closed its sending"), timeoutMs);
    QVERIFY(!window->sendButton->isEnabled() && !window->sendFileButton->isEnabled());
    QVERIFY(window->resetButton->isEnabled());
    QVERIFY(client.write("still here"));
    QTRY_VERIFY_WITH_TIMEOUT(hasBlock(window->textEdit->document(), "still here", remoteColor()), timeoutMs);

    TestClient second(app.boundPort());
    ConnectionWindow* other = app.waitForWindow(second.localPort());
    QVERIFY(other);
    other->resetButton->click();
    QCOMPARE(TestSupport::readToEnd(second.handle()), ECONNRESET);
    QTRY_VERIFY_WITH_TIMEOUT(showsNote(other, "[This side reset the connection]"), timeoutMs);
    QVERIFY(!other->resetButton->isEnabled() && !other->sendButton->isEnabled());
}

// The file dialogs show /proc, where a file such as kmsg never ends, with
// names, icons and types, and the program goes on: nothing reads a file's
// contents to draw it.
void SendingTests::fileDialogsNeverReadContents()
{
    App app;
    TestClient client(app.startListening());
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    window->moreButton->click();
    const auto browseProc = [](QWidget* widget) {
        auto* dialog = qobject_cast<QFileDialog*>(widget);
        if (!dialog)
            return;
        dialog->setDirectory("/proc");
        auto* model = dialog->findChild<QFileSystemModel*>();
        const bool listed = model && waitFor([&] { return model->index("/proc/kmsg").isValid(); }, timeoutMs);
        if (listed) {
            const QModelIndex kmsg = model->index("/proc/kmsg");
            model->data(kmsg, Qt::DecorationRole);
            model->data(model->index(kmsg.row(), 2, kmsg.parent()), Qt::DisplayRole);
            QTest::qWait(50);
        }
        dialog->setProperty("listed", listed);
        dialog->reject();
    };
    for (QPushButton* button : {window->sendFileButton, window->saveButton}) {
        bool listed = false;
        ModalAnswerer answerer([&](QWidget* widget) {
            browseProc(widget);
            listed = widget->property("listed").toBool();
        });
        button->click();
        QCOMPARE(answerer.answered(), 1);
        QVERIFY2(listed, qPrintable(button->text()));
    }
}

BRINDLEWICK_GUI_TEST_MAIN(SendingTests)
#include "SendingTests.moc"
