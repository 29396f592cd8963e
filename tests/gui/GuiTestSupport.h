#pragma once

#include "TestSupport.h"

#include <QApplication>
#include <QColor>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <boost/shared_ptr.hpp>

#include <functional>
#include <memory>
#include <string>

class ConnectionWindow;
class ConnectionWindowManager;
class Core;
class MainWindow;
class QTextDocument;

// Helpers shared by the desktop tests: a scratch settings folder, a running
// program (Core + MainWindow) per test, a client bound to a chosen local
// address, modal dialog answering and conversation inspection.
namespace GuiTest
{
// Generous, because the same tests run under ThreadSanitizer and AddressSanitizer.
constexpr int timeoutMs = 20000;

// Created first thing in main, before QApplication: gives this process a
// settings folder of its own and the offscreen platform unless another one
// was asked for. Removes the folder when destroyed.
class Environment
{
public:
    Environment();
    ~Environment();

    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    // Names the application as the program does, marks the calling (GUI)
    // thread as one that never waits for the log, as the program does, and
    // checks that the settings file lies inside the scratch folder.
    bool prepareApplication();

private:
    QString folder;
};

// Waits for cond while the event loop runs; false if the deadline passed.
bool waitFor(const std::function<bool()>& cond, int timeout = timeoutMs);

// The listening state as the main window's status bar shows it.
QString statusText(const MainWindow& window);

// Empties the program's settings store.
void clearSettings();

// A TCP port on 127.0.0.1 that the system handed out a moment ago and that
// nothing listens on now.
unsigned short systemChosenPort();

// A listening socket on 127.0.0.1 and the wildcard address that makes
// binding its port fail.
class PortBlocker
{
public:
    PortBlocker();
    ~PortBlocker();

    PortBlocker(const PortBlocker&) = delete;
    PortBlocker& operator=(const PortBlocker&) = delete;

    unsigned short port() const { return boundPort; }

private:
    int fd = -1;
    unsigned short boundPort = 0;
};

// A client whose socket is bound to a given local address and port before it
// connects, so that two clients can share one endpoint text.
class BoundClient
{
public:
    BoundClient() = default;
    ~BoundClient();

    BoundClient(const BoundClient&) = delete;
    BoundClient& operator=(const BoundClient&) = delete;

    // localPort 0 lets the system choose; the address to connect to is
    // serverAddress:serverPort.
    bool connect(const char* localAddress, unsigned short localPort, const char* serverAddress,
                 unsigned short serverPort);
    unsigned short localPort() const;
    bool write(const std::string& bytes);
    // True once the server has closed, within timeout milliseconds.
    bool waitForClose(int timeout);
    void close();

private:
    int fd = -1;
};

// Answers modal widgets from a timer while a modal event loop runs: the first
// `limit` new modal widgets are each handed once to the handler; without one,
// message boxes are answered with Ok. Stops after `deadline` ms. A widget
// still open a while after its answer is rejected with a warning, so that a
// handler that failed to close it fails the test instead of hanging it.
class ModalAnswerer : public QObject
{
public:
    using Handler = std::function<void(QWidget*)>;

    explicit ModalAnswerer(Handler handler = nullptr, int limit = 1, int deadline = timeoutMs);

    int answered() const { return answeredCount; }
    QStringList titles() const { return seenTitles; }
    QStringList texts() const { return seenTexts; }

    // Presses Ok (or accepts) on a message box and records its title and text.
    static Handler acceptMessageBox(ModalAnswerer* self);

    void record(const QString& title, const QString& text);

private:
    void poll();

    Handler handler;
    QTimer timer;
    QPointer<QWidget> last;
    int answeredCount = 0;
    int limit;
    int remainingMs;
    int openAfterAnswerMs = 0;
    QStringList seenTitles;
    QStringList seenTexts;
};

// What every desktop test suite derives from: each test starts and ends with
// an empty settings store.
class Suite : public QObject
{
    Q_OBJECT

private slots:
    void init() { clearSettings(); }
    void cleanup() { clearSettings(); }
};

// One run of the program inside a test: log capture, Core and MainWindow.
// Destroys the window before the Core and the capture after both.
class App
{
public:
    // show: whether the main window is shown (sub-window activation needs it).
    explicit App(bool show = true);
    ~App();

    App(const App&) = delete;
    App& operator=(const App&) = delete;

    TestSupport::LogCapture log;
    boost::shared_ptr<Core> core;
    std::unique_ptr<MainWindow> window;

    // Starts listening on a port the system picks; 0 on failure.
    unsigned short startListening();
    unsigned short boundPort() const;
    ConnectionWindowManager* manager() const;
    QList<ConnectionWindow*> connectionWindows() const;
    // The connection window of the client whose local port is given, if open.
    ConnectionWindow* windowFor(unsigned short clientPort, const QString& address = "127.0.0.1") const;
    ConnectionWindow* waitForWindow(unsigned short clientPort, const QString& address = "127.0.0.1") const;
    // Closes the window as the user would and waits until it is gone.
    bool closeWindow(ConnectionWindow* window) const;
    // Destroys the window and then the Core.
    void quit();
};

// The conversation as (text, background) runs, one list entry per block.
struct Run
{
    QString text;
    QColor background;
};
QList<QList<Run>> conversationRuns(QTextDocument* document);
QStringList blockTexts(QTextDocument* document);
// True if some block reads exactly `text` and every character of it lies on `background`.
bool hasBlock(QTextDocument* document, const QString& text, const QColor& background);

// The names of the buttons, boxes and labels inside widget that are drawn
// narrower than their text needs: cut, at the size the widget has now.
QStringList cutControls(QWidget* widget);

// The colours of the two directions.
QColor remoteColor();
QColor localColor();
}

#define BRINDLEWICK_GUI_TEST_MAIN(TestObject)                                                                     \
    int main(int argc, char** argv)                                                                              \
    {                                                                                                            \
        GuiTest::Environment environment;                                                                        \
        QApplication application(argc, argv);                                                                    \
        if (!environment.prepareApplication())                                                                   \
            return 1;                                                                                            \
        QTEST_DISABLE_KEYPAD_NAVIGATION                                                                          \
        TestObject tests;                                                                                        \
        return QTest::qExec(&tests, argc, argv);                                                                 \
    }
