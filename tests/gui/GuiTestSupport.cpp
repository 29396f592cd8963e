#include "GuiTestSupport.h"

#include "ConnectionWindow.h"
#include "ConnectionWindowManager.h"
#include "Core.h"
#include "Log.h"
#include "MainWindow.h"
#include "TitleBarIconCache.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace GuiTest
{
Environment::Environment()
{
    char pattern[] = "/tmp/brindlewick-gui-XXXXXX";
    if (const char* made = ::mkdtemp(pattern))
        folder = QString::fromLocal8Bit(made);
    qputenv("XDG_CONFIG_HOME", folder.toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

Environment::~Environment()
{
    if (!folder.isEmpty())
        QDir(folder).removeRecursively();
}

bool Environment::prepareApplication()
{
    QCoreApplication::setOrganizationName("Brindlewick");
    QCoreApplication::setApplicationName("Brindlewick");
    Log::setNonBlockingThread();
    TitleBarIconCache::install();
    const QString file = QSettings().fileName();
    if (folder.isEmpty() || !file.startsWith(folder + "/")) {
        std::fprintf(stderr, "settings would go to %s, not into a scratch folder\n", qPrintable(file));
        return false;
    }
    return true;
}

bool waitFor(const std::function<bool()>& cond, int timeout)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (!cond()) {
        if (elapsed.elapsed() > timeout)
            return false;
        QTest::qWait(5);
    }
    return true;
}

QString statusText(const MainWindow& window)
{
    return window.getListeningStateText();
}

void clearSettings()
{
    QSettings settings;
    settings.clear();
    settings.sync();
    // The rules live beside the settings.
    QFile::remove(QFileInfo(settings.fileName()).absolutePath() + QStringLiteral("/rules.json"));
}

namespace
{
sockaddr_in loopback(const char* address, unsigned short port)
{
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &result.sin_addr);
    return result;
}

unsigned short portOf(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}
}

unsigned short systemChosenPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address = loopback("127.0.0.1", 0);
    unsigned short port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        port = portOf(fd);
    ::close(fd);
    return port;
}

PortBlocker::PortBlocker()
{
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return;
    sockaddr_in address = loopback("127.0.0.1", 0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 1) == 0)
        boundPort = portOf(fd);
}

PortBlocker::~PortBlocker()
{
    if (fd >= 0)
        ::close(fd);
}

BoundClient::~BoundClient()
{
    close();
}

bool BoundClient::connect(const char* localAddress, unsigned short localPort, const char* serverAddress,
                          unsigned short serverPort)
{
    close();
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    // Lets a second client bind the same address and port; the two
    // connections still differ in the server address.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local = loopback(localAddress, localPort);
    sockaddr_in remote = loopback(serverAddress, serverPort);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0
        || ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        close();
        return false;
    }
    return true;
}

unsigned short BoundClient::localPort() const
{
    return fd < 0 ? 0 : portOf(fd);
}

bool BoundClient::write(const std::string& bytes)
{
    return TestSupport::sendAll(fd, bytes);
}

bool BoundClient::waitForClose(int timeout)
{
    char buffer[4096];
    QElapsedTimer elapsed;
    elapsed.start();
    for (;;) {
        const qint64 left = timeout - elapsed.elapsed();
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        if (::recv(fd, buffer, sizeof buffer, 0) <= 0)
            return true;
    }
}

void BoundClient::close()
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

ModalAnswerer::ModalAnswerer(Handler handler, int limit, int deadline)
    : handler(handler ? std::move(handler) : acceptMessageBox(this))
    , limit(limit)
    , remainingMs(deadline)
{
    timer.setInterval(10);
    connect(&timer, &QTimer::timeout, this, &ModalAnswerer::poll);
    timer.start();
}

void ModalAnswerer::poll()
{
    constexpr int stuckAfterMs = 3000;
    remainingMs -= timer.interval();
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal == last) {
        openAfterAnswerMs += timer.interval();
        if (openAfterAnswerMs >= stuckAfterMs) {
            qWarning("a modal widget stayed open after it was answered: rejecting it");
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
            else
                modal->close();
            openAfterAnswerMs = 0;
        }
        return;
    }
    openAfterAnswerMs = 0;
    if (remainingMs <= 0 || answeredCount >= limit) {
        timer.stop();
        return;
    }
    if (!modal)
        return;
    last = modal;
    ++answeredCount;
    handler(modal);
}

void ModalAnswerer::record(const QString& title, const QString& text)
{
    seenTitles.append(title);
    seenTexts.append(text);
}

ModalAnswerer::Handler ModalAnswerer::acceptMessageBox(ModalAnswerer* self)
{
    return [self](QWidget* widget) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box) {
            self->record(widget->windowTitle(), QString());
            if (auto* dialog = qobject_cast<QDialog*>(widget))
                dialog->reject();
            return;
        }
        self->record(box->windowTitle(), box->text());
        if (QAbstractButton* ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->accept();
    };
}

App::App(bool show)
    : core(new Core())
{
    window = std::make_unique<MainWindow>(core);
    if (show) {
        window->show();
        if (!QTest::qWaitForWindowExposed(window.get()))
            qWarning("main window was not exposed");
    }
}

App::~App()
{
    quit();
}

void App::quit()
{
    window.reset();
    core.reset();
}

unsigned short App::startListening()
{
    core->setListenPort(0);
    window->startStopListenAction->trigger();
    return core->getBoundPort();
}

unsigned short App::boundPort() const
{
    return core->getBoundPort();
}

ConnectionWindowManager* App::manager() const
{
    return window->getConnectionWindowManager();
}

QList<ConnectionWindow*> App::connectionWindows() const
{
    QList<ConnectionWindow*> result;
    for (QMdiSubWindow* subWindow : window->mdiArea->subWindowList()) {
        if (auto* connectionWindow = qobject_cast<ConnectionWindow*>(subWindow->widget()))
            result.append(connectionWindow);
    }
    return result;
}

ConnectionWindow* App::windowFor(unsigned short clientPort, const QString& address) const
{
    const QString endpoint = QString("%1:%2").arg(address).arg(clientPort);
    for (ConnectionWindow* connectionWindow : connectionWindows()) {
        if (connectionWindow->getWindowId() == endpoint)
            return connectionWindow;
    }
    return nullptr;
}

ConnectionWindow* App::waitForWindow(unsigned short clientPort, const QString& address) const
{
    ConnectionWindow* found = nullptr;
    waitFor([&] { return (found = windowFor(clientPort, address)) != nullptr; });
    return found;
}

bool App::closeWindow(ConnectionWindow* connectionWindow) const
{
    QPointer<ConnectionWindow> guard(connectionWindow);
    auto* subWindow = qobject_cast<QMdiSubWindow*>(connectionWindow->parentWidget());
    if (!subWindow)
        return false;
    subWindow->close();
    return waitFor([&] { return guard.isNull(); });
}

QList<QList<Run>> conversationRuns(QTextDocument* document)
{
    QList<QList<Run>> blocks;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        QList<Run> runs;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (fragment.isValid())
                runs.append({fragment.text(), fragment.charFormat().background().color()});
        }
        blocks.append(runs);
    }
    return blocks;
}

QStringList blockTexts(QTextDocument* document)
{
    QStringList texts;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
        texts.append(block.text());
    return texts;
}

bool hasBlock(QTextDocument* document, const QString& text, const QColor& background)
{
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        if (block.text() != text)
            continue;
        bool allOnBackground = true;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (fragment.isValid() && fragment.charFormat().background().color() != background)
                allOnBackground = false;
        }
        if (allOnBackground)
            return true;
    }
    return false;
}

QStringList cutControls(QWidget* widget)
{
    QStringList cut;
    for (QWidget* control : widget->findChildren<QWidget*>()) {
        if (!control->isVisibleTo(widget))
            continue;
        int needed = 0;
        if (qobject_cast<QAbstractButton*>(control) || qobject_cast<QComboBox*>(control))
            needed = control->minimumSizeHint().width();
        else if (auto* label = qobject_cast<QLabel*>(control); label && !label->wordWrap())
            needed = label->fontMetrics().horizontalAdvance(label->text()) + 2 * label->margin();
        if (control->width() < needed)
            cut.append(QString("%1 (%2 of %3)").arg(control->objectName()).arg(control->width()).arg(needed));
    }
    return cut;
}

QColor remoteColor()
{
    return QColor(Qt::darkYellow);
}

QColor localColor()
{
    return QColor(Qt::darkGray);
}
}
