// Answering by rules in the desktop program: rules on real connections from
// real clients, the per-window switch and the unmatched count, the Rules
// window with its edits, import and export, and a recorded curl session
// saved as rules and replayed to curl.
#include "GuiTestSupport.h"

#include "ConnectionRules.h"
#include "ConnectionWindow.h"
#include "Core.h"
#include "MainWindow.h"
#include "ProtocolFactory.h"
#include "ReplayRulesSaving.h"
#include "ReplyLibrary.h"
#include "RuleBook.h"
#include "RuleEditDialog.h"
#include "RuleFileReader.h"
#include "RulesWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>

#include <sys/socket.h>

#include <chrono>

using namespace GuiTest;
using TestSupport::TestClient;

namespace
{
const std::chrono::milliseconds readTimeout(timeoutMs);

// text in the escapes mode: \r\n is CR LF whatever the line ending.
Action replyAction(const std::string& text)
{
    Action action;
    action.kind = ActionKind::Reply;
    action.reply.text = text;
    action.reply.mode = InputMode::Escapes;
    return action;
}

Rule rule(const std::string& name, ConditionKind kind, const std::string& value, std::vector<Action> actions,
          unsigned nth = 0)
{
    Rule made;
    made.name = name;
    made.condition.kind = kind;
    made.condition.value = value;
    made.condition.nth = nth;
    made.actions = std::move(actions);
    return made;
}

std::uint64_t receivedBytes(ConnectionWindow* window)
{
    return window->getTranscript().totals().bytes[static_cast<int>(Direction::Received)];
}

std::uint64_t sentBytes(ConnectionWindow* window)
{
    return window->getTranscript().totals().bytes[static_cast<int>(Direction::Sent)];
}

bool showsBlockStarting(ConnectionWindow* window, const QString& start)
{
    const QStringList blocks = blockTexts(window->textEdit->document());
    return std::any_of(blocks.begin(), blocks.end(), [&](const QString& block) { return block.startsWith(start); });
}

// Nothing is waiting to be read on the client's socket.
bool nothingArrived(const TestClient& client)
{
    char byte = 0;
    return ::recv(client.handle(), &byte, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

QByteArray sha256Of(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QByteArray writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(contents);
    return contents;
}
}

class RulesTests : public Suite
{
    Q_OBJECT

private slots:
    void realClientsAreAnsweredOnTheConnectionsSide();
    void rulesWindowEditsPersistAndBadFilesAreNamed();
    void savedConversationReplaysCurlByteForByte();
};

// The split PING, a reset for deadbeef, the Nth time, unmatched input, and
// the window's switch on a connection that stays open while rules change.
void RulesTests::realClientsAreAnsweredOnTheConnectionsSide()
{
    App app;
    Action wait;
    wait.kind = ActionKind::Wait;
    wait.duration = std::chrono::milliseconds(300);
    Action reset;
    reset.kind = ActionKind::Reset;
    QVERIFY(RuleBook::shared()
                .setRules({rule("ping", ConditionKind::Contains, "PING\r\n", {wait, replyAction("PONG\\r\\n")}),
                           rule("dead", ConditionKind::HexBytes, "de ad be ef", {reset}),
                           rule("third knock", ConditionKind::Contains, "KNOCK\n", {replyAction("come in\\n")}, 3)})
                .isEmpty());
    const unsigned short port = app.startListening();

    // "PI", then "NG\r\n" once the server has read the first part: one PONG,
    // 300 ms after the match. Then deadbeef: a reset, and nothing but that
    // one PONG came before it.
    TestClient pinger(port);
    QVERIFY(pinger.write("PI"));
    ConnectionWindow* pingWindow = app.waitForWindow(pinger.localPort());
    QVERIFY(pingWindow);
    QTRY_COMPARE_WITH_TIMEOUT(receivedBytes(pingWindow), std::uint64_t(2), timeoutMs);
    const auto sent = std::chrono::steady_clock::now();
    QVERIFY(pinger.write("NG\r\n"));
    QCOMPARE(pinger.read(6, readTimeout), std::string("PONG\r\n"));
    const auto elapsed = std::chrono::steady_clock::now() - sent;
    QVERIFY2(elapsed >= std::chrono::milliseconds(200) && elapsed <= std::chrono::milliseconds(400),
             qPrintable(QString::number(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count())));
    QVERIFY(pinger.write("\xde\xad\xbe\xef"));
    std::string rest;
    pinger.readUntilClosed(rest, readTimeout);
    QCOMPARE(rest, std::string());
    QTRY_VERIFY_WITH_TIMEOUT(showsBlockStarting(pingWindow, "[rule 'ping' replied 6 bytes]"), timeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(showsBlockStarting(pingWindow, "[rule 'dead' reset the connection]"), timeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(sentBytes(pingWindow), std::uint64_t(6), timeoutMs);

    // Five knocks in one go: the third one is answered, once.
    TestClient knocker(port);
    QVERIFY(knocker.write("KNOCK\nKNOCK\nKNOCK\nKNOCK\nKNOCK\n"));
    ConnectionWindow* knockWindow = app.waitForWindow(knocker.localPort());
    QVERIFY(knockWindow);
    QCOMPARE(knocker.read(8, readTimeout), std::string("come in\n"));
    QTRY_COMPARE_WITH_TIMEOUT(receivedBytes(knockWindow), std::uint64_t(30), timeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(RuleBook::shared().hits(2), std::uint64_t(1), timeoutMs);
    // The two knocks before the third went by unconsumed and count as
    // matched by nothing; the last two wait for a match that cannot come,
    // and count once the client ends. None of them got anything.
    QTRY_COMPARE_WITH_TIMEOUT(knockWindow->rulesLabel->text(), QString("Matched no rule: 12 bytes, 12 waiting"),
                              timeoutMs);
    ::shutdown(knocker.handle(), SHUT_WR);
    QTRY_COMPARE_WITH_TIMEOUT(knockWindow->rulesLabel->text(), QString("Matched no rule: 24 bytes"), timeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(sentBytes(knockWindow), std::uint64_t(8), timeoutMs);
    QVERIFY(nothingArrived(knocker));

    // A rule added while a connection is open answers it at once, the
    // bytes that waited for a match included.
    TestClient greeter(port);
    QVERIFY(greeter.write("hello\n"));
    ConnectionWindow* greetWindow = app.waitForWindow(greeter.localPort());
    QVERIFY(greetWindow);
    QTRY_COMPARE_WITH_TIMEOUT(greetWindow->rulesLabel->text(), QString("Matched no rule: 0 bytes, 6 waiting"),
                              timeoutMs);
    std::vector<Rule> rules = RuleBook::shared().rules();
    rules.push_back(rule("hello", ConditionKind::StartsWith, "hello\n", {replyAction("hi\\n")}));
    QVERIFY(RuleBook::shared().setRules(rules).isEmpty());
    QCOMPARE(greeter.read(3, readTimeout), std::string("hi\n"));

    // Switched off in its window, no rule is left to look at what comes;
    // switched on, they answer again.
    greetWindow->rulesBox->setChecked(false);
    QTRY_COMPARE_WITH_TIMEOUT(greetWindow->rulesLabel->text(), QString(), timeoutMs);
    QVERIFY(greeter.write("hello\n"));
    QTRY_COMPARE_WITH_TIMEOUT(receivedBytes(greetWindow), std::uint64_t(12), timeoutMs);
    greetWindow->rulesBox->setChecked(true);
    QVERIFY(greeter.write("hello\n"));
    QCOMPARE(greeter.read(3, readTimeout), std::string("hi\n"));
    QTRY_COMPARE_WITH_TIMEOUT(RuleBook::shared().hits(3), std::uint64_t(2), timeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(sentBytes(greetWindow), std::uint64_t(6), timeoutMs);

    // Auto-reply is the window's last rule: it answers what no other rule
    // took, in pieces while the window sends in pieces.
    SavedReply ok;
    ok.name = "ok";
    ok.body = "okay";
    QVERIFY(ReplyLibrary::shared().saveReply(ok).isEmpty());
    greetWindow->moreButton->setChecked(true);
    greetWindow->pieceSizeBox->setValue(1);
    greetWindow->pieceDelayBox->setValue(1);
    greetWindow->piecesBox->setChecked(true);
    greetWindow->savedRepliesBox->setCurrentIndex(greetWindow->savedRepliesBox->findText("ok"));
    greetWindow->autoReplyBox->setChecked(true);
    QVERIFY(greeter.write("anything"));
    QCOMPARE(greeter.read(4, readTimeout), std::string("okay"));
    QTRY_VERIFY_WITH_TIMEOUT(showsBlockStarting(greetWindow, "[rule 'auto-reply' sends 4 bytes in pieces of 1"),
                             timeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(sentBytes(greetWindow), std::uint64_t(10), timeoutMs);
    QCOMPARE(greetWindow->getTranscript().totals().chunks[static_cast<int>(Direction::Sent)], std::uint64_t(6));
}

void RulesTests::rulesWindowEditsPersistAndBadFilesAreNamed()
{
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    {
        App app;
        app.window->actionRules->trigger();
        auto* rulesWindow = app.window->findChild<RulesWindow*>();
        QVERIFY(rulesWindow && rulesWindow->isVisible());
        auto* table = rulesWindow->findChild<QTableView*>("rulesTable");

        // A pattern that does not compile keeps the dialog open, saying what
        // is wrong; mended, the rule is added and shown.
        bool refused = false;
        ModalAnswerer answerer(
            [&refused](QWidget* widget) {
                auto* dialog = qobject_cast<RuleEditDialog*>(widget);
                if (!dialog)
                    return;
                dialog->findChild<QLineEdit*>("nameEdit")->setText("login");
                dialog->findChild<QComboBox*>("conditionKindBox")->setCurrentIndex(3);
                dialog->findChild<QLineEdit*>("conditionValueEdit")->setText("USER (\\w+");
                dialog->findChild<QPushButton*>("addActionButton")->click();
                dialog->findChild<QPlainTextEdit*>("actionTextEdit")->setPlainText("hello $1");
                dialog->accept();
                refused = dialog->isVisible()
                          && dialog->findChild<QLabel*>("problemLabel")->text().startsWith("condition.value: ");
                dialog->findChild<QLineEdit*>("conditionValueEdit")->setText("USER (\\w+)");
                dialog->accept();
            },
            1);
        rulesWindow->findChild<QPushButton*>("addRuleButton")->click();
        QCOMPARE(answerer.answered(), 1);
        QVERIFY(refused);
        QCOMPARE(RuleBook::shared().rules().size(), std::size_t(1));
        QCOMPARE(table->model()->index(0, 2).data().toString(), QString("matches USER (\\w+)"));
        QCOMPARE(table->model()->index(0, 3).data().toString(), QString("reply \"hello $1\""));

        // How much waits for a match, for connections from now on.
        rulesWindow->findChild<QSpinBox*>("unconsumedLimitBox")->setValue(128);
        QCOMPARE(RuleBook::shared().unconsumedLimit(), std::size_t(128 * 1024));

        // Switched off in the table; stays so.
        QVERIFY(table->model()->setData(table->model()->index(0, 0), Qt::Unchecked, Qt::CheckStateRole));
        QVERIFY(!RuleBook::shared().rules()[0].enabled);

        // A file with a rule of odd hex digits and one with an unknown
        // field: both named with their place, both added switched off, the
        // good one beside them and the rule already there untouched.
        const QString mixed = scratch.filePath("mixed.json");
        writeFile(mixed, R"({"version": 1, "rules": [
            {"name": "good", "condition": {"kind": "contains", "value": "GET"}, "actions": [{"reply": {"text": "ok"}}]},
            {"name": "odd", "condition": {"kind": "hex", "value": "abc"}},
            {"name": "extra", "condition": {"kind": "contains", "value": "x"}, "colour": "red"}]})");
        rulesWindow->importFrom(mixed);
        const QString problems = rulesWindow->problemsText();
        QVERIFY2(problems.contains("rules[1] \"odd\", condition.value: Odd number of hex digits"),
                 qPrintable(problems));
        QVERIFY2(problems.contains("rules[2] \"extra\""), qPrintable(problems));
        const std::vector<Rule>& rules = RuleBook::shared().rules();
        QCOMPARE(rules.size(), std::size_t(4));
        QCOMPARE(rules[0].name, std::string("login"));
        QVERIFY(rules[1].enabled && !rules[2].enabled && !rules[3].enabled);
        QVERIFY(RuleBook::shared().problemOf(1).isEmpty());

        // Not JSON, or cut short: refused whole with where, nothing lost.
        writeFile(scratch.filePath("cut.json"), R"({"version": 1, "rules": [{"name": "a")");
        rulesWindow->importFrom(scratch.filePath("cut.json"));
        QVERIFY2(rulesWindow->problemsText().contains("cut.json was not imported: "),
                 qPrintable(rulesWindow->problemsText()));
        QVERIFY2(rulesWindow->problemsText().contains("byte"), qPrintable(rulesWindow->problemsText()));
        writeFile(scratch.filePath("text.json"), "PING\r\n");
        rulesWindow->importFrom(scratch.filePath("text.json"));
        QVERIFY(rulesWindow->problemsText().contains("text.json was not imported: "));
        QCOMPARE(RuleBook::shared().rules().size(), std::size_t(4));

        // Moved down, then exported: the file reads back as the same rules.
        table->selectRow(0);
        rulesWindow->findChild<QPushButton*>("ruleDownButton")->click();
        QCOMPARE(RuleBook::shared().rules()[1].name, std::string("login"));
        rulesWindow->exportTo(scratch.filePath("out.json"));
        const RuleFileContents exported = RuleFileReader::load(scratch.filePath("out.json").toStdString());
        QVERIFY(exported.ok());
        QVERIFY(exported.rules->rules() == RuleBook::shared().rules());
        app.quit();
    }
    // The next start has them all, as they were left.
    const std::vector<Rule> before = RuleBook::shared().rules();
    App again;
    QVERIFY(RuleBook::shared().rules() == before);
    QCOMPARE(RuleBook::shared().rules()[1].condition.value, std::string("USER (\\w+)"));
    QCOMPARE(RuleBook::shared().unconsumedLimit(), std::size_t(128 * 1024));
}

// curl is answered by hand once; the conversation saved as rules answers
// the next curl byte for byte.
void RulesTests::savedConversationReplaysCurlByteForByte()
{
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    App app;
    app.core->setProtocolType(ProtocolFactory::HTTP);
    const unsigned short port = app.startListening();
    const QStringList curlArguments{"-s", "-i", "--max-time", "60",
                                    QString("http://127.0.0.1:%1/replay?x=1").arg(port)};
    QProcess curl;
    curl.start("curl", curlArguments);
    QVERIFY(curl.waitForStarted());
    QList<ConnectionWindow*> windows;
    QVERIFY(waitFor([&] { return !(windows = app.connectionWindows()).isEmpty(); }));
    ConnectionWindow* window = windows.first();
    QTRY_VERIFY_WITH_TIMEOUT(receivedBytes(window) > 0 && window->getStatusBox(), timeoutMs);
    window->getStatusBox()->setCurrentText("201 Created");
    window->getCloseAfterResponseBox()->setChecked(true);
    window->textEdit_2->setPlainText("<h1>made</h1>\nsecond line");
    window->sendButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(curl.state() == QProcess::NotRunning, timeoutMs);
    const QByteArray answered = curl.readAllStandardOutput();
    QVERIFY(answered.startsWith("HTTP/1.0 201 Created\r\n"));

    const QString rulesFile = scratch.filePath("replay.json");
    QCOMPARE(ReplayRulesSaving::save(window->getConversation(), rulesFile, true), QString());
    RuleBook::shared().setRules({});
    const RuleBook::ImportReport report = RuleBook::shared().importFile(rulesFile);
    QVERIFY(report.error.isEmpty() && report.problems.isEmpty());

    curl.start("curl", curlArguments);
    QVERIFY(curl.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(curl.state() == QProcess::NotRunning, timeoutMs);
    QCOMPARE(curl.exitCode(), 0);
    const QByteArray replayed = curl.readAllStandardOutput();
    QCOMPARE(sha256Of(replayed), sha256Of(answered));
}

BRINDLEWICK_GUI_TEST_MAIN(RulesTests)
#include "RulesTests.moc"
