// Connection windows of the HTTP protocol: real requests, replies that a
// client parses, and the header editor between replies.
#include "GuiTestSupport.h"

#include "AttributesEditor.h"
#include "AttributesModel.h"
#include "AttributesTableView.h"
#include "ConnectionWindow.h"
#include "Core.h"
#include "MainWindow.h"

#include <QGroupBox>
#include <QHeaderView>
#include <QSettings>
#include <QTextDocument>
#include <QToolButton>

using namespace GuiTest;
using TestSupport::TestClient;

namespace
{
struct Response
{
    std::string head;
    std::string body;
    bool complete = false;
};

// Reads one response as a client would: the head up to the blank line, then
// exactly Content-Length bytes. The window has sent it already, so the reads
// do not wait on the event loop.
Response readResponse(TestClient& client)
{
    Response response;
    while (response.head.size() < 4 || response.head.compare(response.head.size() - 4, 4, "\r\n\r\n") != 0) {
        const std::string byte = client.read(1, std::chrono::milliseconds(timeoutMs));
        if (byte.empty())
            return response;
        response.head += byte;
    }
    const std::string key = "\r\nContent-Length: ";
    const std::size_t at = response.head.find(key);
    if (at == std::string::npos)
        return response;
    const std::size_t length = std::stoul(response.head.substr(at + key.size()));
    response.body = client.read(length, std::chrono::milliseconds(timeoutMs));
    response.complete = response.body.size() == length;
    return response;
}

std::string headFor(const std::vector<std::string>& headerLines, std::size_t bodyLength)
{
    std::string head = "HTTP/1.0 200 OK\r\n";
    for (const std::string& line : headerLines)
        head += line + "\r\n";
    head += "Content-Length: " + std::to_string(bodyLength) + "\r\n\r\n";
    return head;
}

void press(QToolButton* button)
{
    QTest::mousePress(button, Qt::LeftButton);
    QTest::mouseRelease(button, Qt::LeftButton);
}

QStringList rows(AttributesModel* model)
{
    QStringList result;
    for (int row = 0; row < model->rowCount(); ++row)
        result.append(model->data(model->index(row, 0)).toString() + "=" + model->data(model->index(row, 1)).toString());
    return result;
}
}

class HttpEditorTests : public Suite
{
    Q_OBJECT

private slots:
    void requestsShownAndRepliesParsed();
    void headerEditsReachTheNextResponse();
    void editorStartsWithContentTypeAndEditsRows();
    void plainTextWindowHasNoAttributesBox();
    void everyControlShowsWhole();

private:
    // Sends `text` as the user's reply and returns what the client reads.
    static Response reply(ConnectionWindow* window, TestClient& client, const QString& text);
};

Response HttpEditorTests::reply(ConnectionWindow* window, TestClient& client, const QString& text)
{
    window->textEdit_2->setPlainText(text);
    QTest::mouseClick(window->sendButton, Qt::LeftButton);
    return readResponse(client);
}

void HttpEditorTests::requestsShownAndRepliesParsed()
{
    App app;
    app.core->setProtocolType(ProtocolFactory::HTTP);
    const unsigned short port = app.startListening();

    struct Case
    {
        std::string request;
        QStringList shown;
    };
    const Case cases[] = {
        {"GET /index.html HTTP/1.0\r\nUser-Agent: test\r\n\r\n",
         {"GET /index.html HTTP/1.0", "User-Agent: test", "", ""}},
        {"GET /a?b=c HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n",
         {"GET /a?b=c HTTP/1.1", "Host: 127.0.0.1", "Connection: keep-alive", "", ""}},
    };
    for (const Case& test : cases) {
        TestClient client(port);
        QVERIFY(client.write(test.request));
        ConnectionWindow* window = app.waitForWindow(client.localPort());
        QVERIFY(window);
        QVERIFY(!window->groupBox->isHidden());
        QVERIFY(window->findChild<AttributesEditor*>());
        QTextDocument* document = window->textEdit->document();
        QTRY_COMPARE_WITH_TIMEOUT(blockTexts(document), test.shown, timeoutMs);
        for (const QString& line : test.shown) {
            if (!line.isEmpty())
                QVERIFY2(hasBlock(document, line, remoteColor()), qPrintable(line));
        }

        const Response response = reply(window, client, "<h1>Hi</h1>");
        QVERIFY(response.complete);
        QCOMPARE(response.head, headFor({"Content-Type: text/html"}, 11));
        QCOMPARE(response.body, std::string("<h1>Hi</h1>"));
        // Exactly the body: nothing follows it.
        QCOMPARE(client.read(1, std::chrono::milliseconds(50)), std::string());
        // The conversation shows the whole response on dark gray.
        QTRY_VERIFY_WITH_TIMEOUT(hasBlock(document, "HTTP/1.0 200 OK", localColor()), timeoutMs);
        QVERIFY(hasBlock(document, "Content-Type: text/html", localColor()));
        QVERIFY(hasBlock(document, "<h1>Hi</h1>", localColor()));
        QCOMPARE(window->textEdit_2->toPlainText(), QString());
    }
}

void HttpEditorTests::headerEditsReachTheNextResponse()
{
    App app;
    app.core->setProtocolType(ProtocolFactory::HTTP);
    TestClient client(app.startListening());
    QVERIFY(client.write("GET / HTTP/1.0\r\n\r\n"));
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    auto* editor = window->findChild<AttributesEditor*>();
    QVERIFY(editor);
    AttributesModel* model = editor->getModel();
    auto* plus = editor->findChild<QToolButton*>("toolButton_1");
    auto* minus = editor->findChild<QToolButton*>("toolButton_2");
    QVERIFY(plus && minus);

    Response response = reply(window, client, "one");
    QCOMPARE(response.head, headFor({"Content-Type: text/html"}, 3));
    QCOMPARE(response.body, std::string("one"));

    QVERIFY(model->setData(model->index(0, 1), "text/plain", Qt::EditRole));
    QCOMPARE(app.log.countLines("Editing column 1, value=text/plain"), 1);
    press(plus);
    QCOMPARE(rows(model), QStringList({"New Attribute=AttributeValue", "Content-Type=text/plain"}));
    QVERIFY(model->setData(model->index(0, 0), "X-Test", Qt::EditRole));
    QVERIFY(model->setData(model->index(0, 1), "yes", Qt::EditRole));
    QCOMPARE(app.log.countLines("Editing column 0, value=X-Test"), 1);
    response = reply(window, client, "second");
    QCOMPARE(response.head, headFor({"X-Test: yes", "Content-Type: text/plain"}, 6));
    QCOMPARE(response.body, std::string("second"));

    // "+" with the second row current inserts there; "-" on it removes it again.
    editor->getTableView()->setCurrentIndex(model->index(1, 0));
    press(plus);
    QCOMPARE(rows(model), QStringList({"X-Test=yes", "New Attribute=AttributeValue", "Content-Type=text/plain"}));
    response = reply(window, client, "3");
    QCOMPARE(response.head, headFor({"X-Test: yes", "New Attribute: AttributeValue", "Content-Type: text/plain"}, 1));
    editor->getTableView()->setCurrentIndex(model->index(0, 0));
    press(minus);
    QCOMPARE(rows(model), QStringList({"New Attribute=AttributeValue", "Content-Type=text/plain"}));
    response = reply(window, client, "four");
    QCOMPARE(response.head, headFor({"New Attribute: AttributeValue", "Content-Type: text/plain"}, 4));

    // Deleting every row leaves the status line, Content-Length and the blank line.
    model->removeAttribute(model->index(0, 0));
    model->removeAttribute(model->index(0, 0));
    QCOMPARE(model->rowCount(), 0);
    response = reply(window, client, "bare");
    QCOMPARE(response.head, std::string("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\n"));
    QCOMPARE(response.body, std::string("bare"));

    // An empty reply is a response with an empty body.
    response = reply(window, client, QString());
    QCOMPARE(response.head, std::string("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"));
    QVERIFY(response.complete);
}

void HttpEditorTests::editorStartsWithContentTypeAndEditsRows()
{
    App app;
    app.core->setProtocolType(ProtocolFactory::HTTP);
    TestClient client(app.startListening());
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    auto* editor = window->findChild<AttributesEditor*>();
    QVERIFY(editor);
    AttributesModel* model = editor->getModel();
    AttributesTableView* view = editor->getTableView();
    auto* plus = editor->findChild<QToolButton*>("toolButton_1");
    auto* minus = editor->findChild<QToolButton*>("toolButton_2");

    QCOMPARE(rows(model), QStringList({"Content-Type=text/html"}));
    QCOMPARE(model->columnCount(), 2);
    QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QString("Attribute"));
    QCOMPARE(model->headerData(1, Qt::Horizontal).toString(), QString("Value"));
    QCOMPARE(model->headerData(0, Qt::Vertical).toInt(), 1);
    QCOMPARE(view->model()->headerData(0, Qt::Vertical).toString(), QString("1"));
    QCOMPARE(model->data(model->index(0, 0), Qt::ToolTipRole).toString(), QString("Attribute name"));
    QCOMPARE(model->data(model->index(0, 1), Qt::ToolTipRole).toString(), QString("Attribute value"));
    QVERIFY(!model->data(model->index(0, 0), Qt::EditRole).isValid());
    QVERIFY(model->flags(model->index(0, 0)) & Qt::ItemIsEditable);
    QVERIFY(!view->currentIndex().isValid());

    // "-" with no current cell changes nothing; "+" puts the new row on top.
    press(minus);
    QCOMPARE(rows(model), QStringList({"Content-Type=text/html"}));
    press(plus);
    QCOMPARE(rows(model), QStringList({"New Attribute=AttributeValue", "Content-Type=text/html"}));
    QVERIFY(model->setData(model->index(0, 0), "A", Qt::EditRole));
    model->createAttribute(QModelIndex());
    QVERIFY(model->setData(model->index(0, 0), "B", Qt::EditRole));
    model->createAttribute(QModelIndex());
    QVERIFY(model->setData(model->index(0, 0), "C", Qt::EditRole));
    QCOMPARE(rows(model), QStringList({"C=AttributeValue", "B=AttributeValue", "A=AttributeValue",
                                       "Content-Type=text/html"}));

    // With the third row current the new row becomes the third.
    view->setCurrentIndex(model->index(2, 1));
    press(plus);
    QCOMPARE(rows(model), QStringList({"C=AttributeValue", "B=AttributeValue", "New Attribute=AttributeValue",
                                       "A=AttributeValue", "Content-Type=text/html"}));
    QCOMPARE(model->headerData(4, Qt::Vertical).toInt(), 5);

    view->setCurrentIndex(QModelIndex());
    press(minus);
    QCOMPARE(model->rowCount(), 5);

    // An empty name or value is taken as it is.
    QVERIFY(model->setData(model->index(0, 1), QString(), Qt::EditRole));
    QCOMPARE(app.log.countLines("Editing column 1, value="), 1);
    QCOMPARE(model->data(model->index(0, 1)).toString(), QString());
    QVERIFY(!model->setData(model->index(0, 1), "x", Qt::DisplayRole));
    QVERIFY(!model->setData(QModelIndex(), "x", Qt::EditRole));

    while (model->rowCount() > 0) {
        view->setCurrentIndex(model->index(0, 0));
        press(minus);
    }
    QVERIFY(model->getAttributes().empty());
}

void HttpEditorTests::plainTextWindowHasNoAttributesBox()
{
    App app;
    QCOMPARE(app.core->getProtocolType(), ProtocolFactory::PLAIN_TEXT);
    TestClient client(app.startListening());
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    QVERIFY(window->groupBox->isHidden());
    QCOMPARE(window->groupBox->title(), QString("Protocol attributes:"));
    QVERIFY(!window->findChild<AttributesEditor*>());
    window->textEdit_2->setPlainText("plain");
    window->sendButton->click();
    QCOMPARE(client.read(5, std::chrono::milliseconds(timeoutMs)), std::string("plain"));
    QCOMPARE(client.read(1, std::chrono::milliseconds(50)), std::string());

    // A protocol change applies to connections accepted afterwards.
    app.core->setProtocolType(ProtocolFactory::HTTP);
    TestClient later(app.boundPort());
    ConnectionWindow* laterWindow = app.waitForWindow(later.localPort());
    QVERIFY(laterWindow);
    QVERIFY(!laterWindow->groupBox->isHidden());
    QVERIFY(window->groupBox->isHidden());
}

// With the rows under the input unfolded, an HTTP window as it opens in the
// smallest main window of a first start shows every control whole; the
// counts read as sentences, and an error takes one line of its own without
// moving the controls.
void HttpEditorTests::everyControlShowsWhole()
{
    QSettings().setValue("Sending/MoreControls", true);
    App app;
    app.window->resize(1000, 700);
    app.core->setProtocolType(ProtocolFactory::HTTP);
    TestClient client(app.startListening());
    QVERIFY(client.write("GET / HTTP/1.0\r\n\r\n"));
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window && window->moreControls->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(window->countsLabel->text(), QString("Received 18 bytes in 1 chunk, sent 0 bytes in 0 chunks"),
                             timeoutMs);
    QCOMPARE(cutControls(window).join(", "), QString());

    const QRect send = window->sendButton->geometry();
    window->getStatusBox()->setCurrentText("2OO Nope");
    window->sendButton->click();
    QVERIFY(window->sendErrorLabel->text().startsWith("HTTP status"));
    QCoreApplication::processEvents();
    QCOMPARE(cutControls(window).join(", "), QString());
    QCOMPARE(window->sendButton->geometry(), send);
    QCOMPARE(window->sendErrorLabel->height(), window->sendErrorLabel->sizeHint().height());
}

BRINDLEWICK_GUI_TEST_MAIN(HttpEditorTests)
#include "HttpEditorTests.moc"
