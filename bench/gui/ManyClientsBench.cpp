// 500 clients connect within one second, each sending one line.
//
// Measures, for the real program (Core + MainWindow), once with sub-windows and
// once with tabs: the time from the first connect (and from the last) until
// every client has its window and its row in the session list, and until
// every window shows its client's line, that no line is lost or lands in the
// wrong window, the lateness of a 10 ms timer on the GUI thread meanwhile,
// and, once the clients close, the time until every row is marked inactive. For reference, the same clients against a plain blocking
// accept-and-read loop in a thread.
//
// With --tls=1 the program listens with TLS (the generated certificate) and
// every client shakes hands before its line; the reference loop then shakes
// hands too, one client after the other, from the same certificate.
//
// Without --child this is the driver: it runs both, each in a process of its
// own, and prints a table. Log lines of the program go into a discarding
// streambuf (std::cout's), so they cost their formatting but no write.

#include "GuiBenchSupport.h"
#include "ProgramUnderTest.h"

#include "ConnectionWindow.h"
#include "ConnectionWindowManager.h"
#include "Core.h"
#include "ListenerContext.h"
#include "MainWindow.h"
#include "RemoteLocalDataViewer.h"
#include "TlsSetup.h"

#include <QApplication>
#include <QMdiArea>
#include <QMdiSubWindow>

#include <boost/shared_ptr.hpp>

#include <openssl/ssl.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

using namespace GuiBench;

namespace
{
constexpr int childDeadlineSeconds = 150;
constexpr int probeIntervalMs = 10;
constexpr auto disconnectWait = std::chrono::seconds(60);

struct Options
{
    std::string child; // empty: the driver
    std::string view = "both"; // "sub", "tabbed" or "both" (the driver only)
    int runs = 1;
    int clients = 500;
    int spreadMs = 1000;
    QSize window{1280, 860};
    bool tls = false;
};

[[noreturn]] void usage()
{
    std::fprintf(stderr,
                 "usage: bench_gui_many_clients [--runs=N] [--clients=N] [--spread-ms=MS] [--window=WxH]\n"
                 "                              [--view=sub|tabbed|both] [--tls=1]\n"
                 "  N clients connect within MS milliseconds and send one line each, to the\n"
                 "  program (with sub-windows, with tabs, or both) and to a plain accept loop;\n"
                 "  medians of the runs.\n");
    std::exit(2);
}

Options parse(int argc, char** argv)
{
    Options options;
    GuiBench::forEachOption(argc, argv, [&options](const std::string& name, const std::string& value) {
        if (name == "--child")
            options.child = value;
        else if (name == "--runs")
            options.runs = std::max(1, std::atoi(value.c_str()));
        else if (name == "--clients")
            options.clients = std::max(1, std::atoi(value.c_str()));
        else if (name == "--spread-ms")
            options.spreadMs = std::max(0, std::atoi(value.c_str()));
        else if (name == "--view" && (value == "sub" || value == "tabbed" || value == "both"))
            options.view = value;
        else if (name == "--tls")
            options.tls = value == "1";
        else if (name != "--window" || !GuiBench::parseSize(value, options.window))
            usage();
    });
    return options;
}

unsigned short localPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// The clients, on a thread of their own: client i connects at i * spread / n
// after the start and sends "client i\n"; all stay connected until released.
class Clients
{
public:
    Clients(unsigned short port, const Options& options)
        : port(port)
        , count(options.clients)
        , spread(std::chrono::milliseconds(options.spreadMs))
        , tlsContext(options.tls ? SSL_CTX_new(TLS_client_method()) : nullptr)
    {
    }

    ~Clients()
    {
        release();
        if (thread.joinable())
            thread.join();
        SSL_CTX_free(tlsContext);
    }

    void start()
    {
        thread = std::thread([this] { run(); });
    }

    void release() { released.store(true); }
    void join() { thread.join(); }

    bool started() const { return startedFlag.load(); }
    Clock::time_point startTime() const { return startedAt; }
    double connectSeconds() const { return static_cast<double>(connectMicros.load()) / 1e6; }

    // The client index of a local port, or -1.
    int indexOfPort(unsigned short localPort)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto it = byPort.find(localPort);
        return it == byPort.end() ? -1 : it->second;
    }

private:
    void run()
    {
        std::vector<int> fds;
        fds.reserve(static_cast<std::size_t>(count));
        startedAt = Clock::now();
        startedFlag.store(true);
        for (int i = 0; i < count; ++i) {
            std::this_thread::sleep_until(startedAt + spread * i / count);
            const int fd = connectLoopback(port);
            {
                std::lock_guard<std::mutex> lock(mutex);
                byPort[localPort(fd)] = i;
            }
            const std::string line = "client " + std::to_string(i) + "\n";
            if (tlsContext)
                sessions.push_back(sendOverTls(fd, line));
            else
                sendAll(fd, line.data(), line.size());
            fds.push_back(fd);
        }
        connectMicros.store(static_cast<std::int64_t>(seconds(Clock::now() - startedAt) * 1e6));
        while (!released.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        for (SSL* session : sessions)
            SSL_free(session);
        for (int fd : fds)
            ::close(fd);
    }

    // The certificate is not checked: the handshake's cost is what counts.
    SSL* sendOverTls(int fd, const std::string& line)
    {
        SSL* session = SSL_new(tlsContext);
        SSL_set_fd(session, fd);
        SSL_set_tlsext_host_name(session, "localhost");
        if (SSL_connect(session) != 1 || SSL_write(session, line.data(), static_cast<int>(line.size())) <= 0)
            fail("a client's TLS handshake failed");
        return session;
    }

    const unsigned short port;
    const int count;
    const std::chrono::milliseconds spread;
    std::thread thread;
    std::atomic<bool> released{false};
    std::atomic<bool> startedFlag{false};
    Clock::time_point startedAt;
    std::atomic<std::int64_t> connectMicros{0};
    SSL_CTX* tlsContext;
    std::vector<SSL*> sessions;
    std::mutex mutex;
    std::unordered_map<unsigned short, int> byPort;
};

int runProgram(const Options& options, int argc, char** argv)
{
    report("nofile_limit", static_cast<std::int64_t>(raiseDescriptorLimit()));
    ProgramUnderTest program(argc, argv, options.window,
                             options.view == "tabbed" ? QMdiArea::TabbedView : QMdiArea::SubWindowView);
    MainWindow* window = program.window.get();
    if (options.tls) {
        program.core->setListedPorts({{0, true}});
        program.core->startListening();
    }
    const unsigned short port = options.tls ? program.core->getBoundPort() : program.port;
    if (port == 0)
        fail("the program does not listen");
    ConnectionWindowManager* manager = window->getConnectionWindowManager();

    Clients clients(port, options);
    std::set<ConnectionWindow*> shown;
    int misplaced = 0;
    int windowsWithWidgets = 0;
    Clock::time_point rowsAt, windowsAt, shownAt;
    bool rowsDone = false, windowsDone = false, finished = false;
    LatenessProbe* probe = nullptr;
    const double guiCpuAtStart = threadCpuSeconds();
    double guiCpuSeconds = 0;
    LatenessProbe probeObject(probeIntervalMs, [&] {
        if (!rowsDone && manager->rowCount() == options.clients) {
            rowsAt = Clock::now();
            rowsDone = true;
        }
        if (static_cast<int>(shown.size()) < options.clients) {
            const QList<QMdiSubWindow*> subWindows = window->mdiArea->subWindowList();
            if (!windowsDone && subWindows.size() == options.clients) {
                windowsAt = Clock::now();
                windowsDone = true;
            }
            for (QMdiSubWindow* sub : subWindows) {
                auto* connection = qobject_cast<ConnectionWindow*>(sub->widget());
                if (!connection || shown.count(connection))
                    continue;
                // A window in sight shows its line; one covered holds it in
                // its transcript and makes its widgets when uncovered.
                if (connection->hasWidgets() ? !connection->textEdit->toPlainText().endsWith('\n')
                                             : !connection->visibleRegion().isEmpty())
                    continue;
                std::string line;
                connection->getTranscript().read(0, 64, line);
                if (line.empty() || line.back() != '\n')
                    continue; // nothing yet, or the line only in part
                line.pop_back();
                const QString id = connection->getWindowId();
                const int index = clients.indexOfPort(static_cast<unsigned short>(id.section(':', -1).toUInt()));
                // Over TLS the handshake's note comes first.
                const QString drawn = connection->hasWidgets() ? connection->textEdit->toPlainText() : QString();
                const QString expected = QString::fromStdString(line) + '\n';
                const bool drawnAsReceived =
                    !connection->hasWidgets() || (options.tls ? drawn.endsWith(expected) : drawn == expected);
                if (index < 0 || line != "client " + std::to_string(index) || !drawnAsReceived)
                    ++misplaced;
                shown.insert(connection);
                windowsWithWidgets += connection->hasWidgets();
            }
        }
        if (rowsDone && windowsDone && static_cast<int>(shown.size()) >= options.clients) {
            shownAt = Clock::now();
            guiCpuSeconds = threadCpuSeconds() - guiCpuAtStart;
            finished = true;
            probe->stop();
            QCoreApplication::quit();
        }
    });
    probe = &probeObject;
    probe->start();
    clients.start();
    program.application->exec();
    if (!finished || !clients.started())
        fail("the event loop ended early");

    const std::vector<double> lateness = probe->latenessMs();
    report("rows_seconds", seconds(rowsAt - clients.startTime()));
    report("windows_seconds", seconds(windowsAt - clients.startTime()));
    report("shown_seconds", seconds(shownAt - clients.startTime()));
    report("connect_seconds", clients.connectSeconds());
    report("gui_cpu_seconds", guiCpuSeconds);
    report("rows", static_cast<std::int64_t>(manager->rowCount()));
    report("windows", static_cast<std::int64_t>(window->mdiArea->subWindowList().size()));
    report("lines_shown", static_cast<std::int64_t>(shown.size()) - misplaced);
    report("lines_misplaced", static_cast<std::int64_t>(misplaced));
    report("windows_with_widgets", static_cast<std::int64_t>(windowsWithWidgets));
    report("late_max_ms", percentile(lateness, 100));
    report("late_p99_ms", percentile(lateness, 99));
    report("vm_hwm_bytes", procStatusBytes("VmHWM"));

    // All clients close: every row gets its "(inactive)" mark.
    const auto closedAt = Clock::now();
    clients.release();
    clients.join();
    bool allInactive = false;
    LatenessProbe closeProbe(probeIntervalMs, [&] {
        const QStringList rows = manager->stringList();
        int inactive = 0;
        for (const QString& row : rows)
            inactive += row.endsWith("(inactive)");
        if (inactive == options.clients || Clock::now() - closedAt > disconnectWait) {
            allInactive = inactive == options.clients;
            QCoreApplication::quit();
        }
    });
    closeProbe.start();
    program.application->exec();
    closeProbe.stop();
    report("inactive_seconds", allInactive ? seconds(Clock::now() - closedAt) : -1.0);
    report("close_late_max_ms", percentile(closeProbe.latenessMs(), 100));

    const auto teardownStart = Clock::now();
    program.tearDown();
    report("teardown_seconds", seconds(Clock::now() - teardownStart));
    return 0;
}

// With TLS, the program's own context for the generated certificate.
std::shared_ptr<ListenerContext> referenceTlsContext()
{
    TlsSetup setup;
    setup.generatedFolder = std::string(std::getenv("XDG_CONFIG_HOME")) + "/Brindlewick";
    std::string error;
    const auto credentials = setup.credentials(error);
    auto context = credentials ? ListenerContext::create(*credentials, setup.listener, error) : nullptr;
    if (!context)
        fail(("no TLS context: " + error).c_str());
    return context;
}

// One line read from fd, through a TLS session when there is one.
std::string readLine(int fd, SSL* session)
{
    std::string line;
    char c = 0;
    while ((session ? SSL_read(session, &c, 1) : ::read(fd, &c, 1)) == 1 && c != '\n')
        line.push_back(c);
    return line;
}

// The same clients against a thread that accepts and reads in a plain loop.
int runReference(const Options& options)
{
    report("nofile_limit", static_cast<std::int64_t>(raiseDescriptorLimit()));
    unsigned short port = 0;
    const int listener = listenLoopback(port, 4096);
    const std::shared_ptr<ListenerContext> tls = options.tls ? referenceTlsContext() : nullptr;
    std::vector<std::string> lines;
    Clock::time_point doneAt;
    std::thread server([&] {
        std::vector<int> fds;
        std::vector<SSL*> sessions;
        for (int i = 0; i < options.clients; ++i) {
            const int fd = ::accept(listener, nullptr, nullptr);
            if (fd < 0)
                fail("accept failed");
            SSL* session = tls ? SSL_new(tls->context().native_handle()) : nullptr;
            if (session) {
                SSL_set_fd(session, fd);
                if (SSL_accept(session) != 1)
                    fail("a TLS handshake failed");
                sessions.push_back(session);
            }
            lines.push_back(readLine(fd, session));
            fds.push_back(fd);
        }
        doneAt = Clock::now();
        for (SSL* session : sessions)
            SSL_free(session);
        for (int fd : fds)
            ::close(fd);
    });
    Clients clients(port, options);
    clients.start();
    server.join();
    clients.release();
    clients.join();
    ::close(listener);

    std::set<std::string> distinct(lines.begin(), lines.end());
    int valid = 0;
    for (int i = 0; i < options.clients; ++i)
        valid += distinct.count("client " + std::to_string(i)) ? 1 : 0;
    report("shown_seconds", seconds(doneAt - clients.startTime()));
    report("connect_seconds", clients.connectSeconds());
    report("lines_shown", static_cast<std::int64_t>(valid));
    return 0;
}

// ---- the driver -------------------------------------------------------------

double medianOf(const std::vector<ChildResult>& results, const char* key)
{
    std::vector<double> values;
    for (const ChildResult& r : results) {
        const double v = r.number(key, NAN);
        if (r.ok && !std::isnan(v))
            values.push_back(v);
    }
    return median(values);
}

// The goals for a burst: every window and row at most this long after the
// last connect, and the 10 ms timer never later than this.
constexpr double goalAfterLastConnectSeconds = 1.5;
constexpr double goalLateMaxMs = 100;

struct ViewResults
{
    std::string view;
    std::vector<ChildResult> runs;
};

// Seconds from the last connect until key's moment.
double afterLastConnect(const ChildResult& r, const char* key)
{
    return r.number(key) - r.number("connect_seconds");
}

double medianAfterLastConnect(const std::vector<ChildResult>& results, const char* key)
{
    std::vector<double> values;
    for (const ChildResult& r : results) {
        if (r.ok)
            values.push_back(std::max(afterLastConnect(r, "rows_seconds"), afterLastConnect(r, key)));
    }
    return median(values);
}

bool printProgramRun(int run, const std::string& view, const ChildResult& p, int clients)
{
    const bool complete = p.ok && p.number("rows") == clients && p.number("windows") == clients
                          && p.number("lines_shown") == clients && p.number("lines_misplaced") == 0;
    std::printf("run %d %-6s %s rows %.2f s, windows %.2f s, lines shown %.2f s (%d/%d, misplaced %d, %d windows in sight "
                "made), connects took "
                "%.2f s, GUI thread CPU %.2f s, late max %.1f ms p99 %.1f ms, all inactive after close %.2f s, teardown %.2f s, VmHWM %.0f "
                "MiB\n",
                run, view.c_str(), p.ok ? "ok  " : ("FAILED (" + p.failure + ")").c_str(), p.number("rows_seconds"),
                p.number("windows_seconds"), p.number("shown_seconds"), static_cast<int>(p.number("lines_shown")),
                clients, static_cast<int>(p.number("lines_misplaced")), static_cast<int>(p.number("windows_with_widgets")),
                p.number("connect_seconds"),
                p.number("gui_cpu_seconds"), p.number("late_max_ms"), p.number("late_p99_ms"), p.number("inactive_seconds"),
                p.number("teardown_seconds"), p.number("vm_hwm_bytes") / 1048576.0);
    return complete;
}

int drive(const Options& options)
{
    TemporaryConfigHome config;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::vector<ViewResults> views;
    if (options.view != "tabbed")
        views.push_back({"sub", {}});
    if (options.view != "sub")
        views.push_back({"tabbed", {}});
    setDeadline(options.runs * static_cast<int>(views.size() + 1) * (childDeadlineSeconds + 10) + 30);

    const std::vector<std::string> common{"--clients=" + std::to_string(options.clients),
                                          "--spread-ms=" + std::to_string(options.spreadMs),
                                          std::string("--tls=") + (options.tls ? "1" : "0")};
    std::vector<ChildResult> reference;
    bool allComplete = true;
    for (int run = 1; run <= options.runs; ++run) {
        for (ViewResults& view : views) {
            std::vector<std::string> args = common;
            args.push_back("--child=program");
            args.push_back("--view=" + view.view);
            args.push_back("--window=" + std::to_string(options.window.width()) + "x"
                           + std::to_string(options.window.height()));
            view.runs.push_back(runSelf(args, childDeadlineSeconds));
            allComplete = printProgramRun(run, view.view, view.runs.back(), options.clients) && allComplete;
        }
        std::vector<std::string> args = common;
        args.push_back("--child=reference");
        reference.push_back(runSelf(args, childDeadlineSeconds));
        const ChildResult& r = reference.back();
        std::printf("run %d reference %s all lines read %.3f s (%d/%d), connects took %.2f s\n", run,
                    r.ok ? "ok  " : ("FAILED (" + r.failure + ")").c_str(), r.number("shown_seconds"),
                    static_cast<int>(r.number("lines_shown")), options.clients, r.number("connect_seconds"));
        std::fflush(stdout);
    }

    const double plain = medianOf(reference, "shown_seconds");
    std::printf("\nMany clients: %d clients connect within %d ms%s and send one line each; medians of %d run(s); "
                "log lines into a discarding std::cout streambuf\n",
                options.clients, options.spreadMs, options.tls ? " over TLS" : "", options.runs);
    bool goalsMet = true;
    for (const ViewResults& view : views) {
        const std::vector<ChildResult>& program = view.runs;
        const double shown = medianOf(program, "shown_seconds");
        const double rows = medianOf(program, "rows_seconds");
        const double windows = medianOf(program, "windows_seconds");
        const double afterLast = medianAfterLastConnect(program, "windows_seconds");
        const double lateMax = medianOf(program, "late_max_ms");
        std::printf("  program (%s): every row %.2f s, every window %.2f s, every line shown %.2f s after the first "
                    "connect, every row and window %.2f s after the last; late max %.1f ms, p99 %.1f ms; every row "
                    "inactive %.2f s after the clients closed\n",
                    view.view.c_str(), rows, windows, shown, afterLast, lateMax, medianOf(program, "late_p99_ms"),
                    medianOf(program, "inactive_seconds"));
        const bool fastEnough = afterLast <= goalAfterLastConnectSeconds;
        const bool responsive = lateMax <= goalLateMaxMs;
        goalsMet = goalsMet && fastEnough && responsive;
        const std::string name = std::string(options.tls ? "many_tls_clients_" : "many_clients_") + view.view;
        std::printf("SUMMARY\t%s\trows_%d_s\t%.3g\t-\t-\t(info)\t-\n", name.c_str(), options.clients, rows);
        std::printf("SUMMARY\t%s\trows_and_windows_after_last_connect_s\t%.3g\t-\t-\t<= %.1f\t%s\n", name.c_str(),
                    afterLast, goalAfterLastConnectSeconds, fastEnough ? "PASS" : "FAIL");
        std::printf("SUMMARY\t%s\tall_lines_shown_s_vs_plain_loop\t%.3g\t%.3g\t%.3f\t(info)\t-\n", name.c_str(),
                    shown, plain, shown / plain);
        std::printf("SUMMARY\t%s\tlate_max_ms\t%.4g\t-\t-\t<= %.0f\t%s\n", name.c_str(), lateMax, goalLateMaxMs,
                    responsive ? "PASS" : "FAIL");
        std::printf("SUMMARY\t%s\tlate_p99_ms\t%.4g\t-\t-\t(info)\t-\n", name.c_str(),
                    medianOf(program, "late_p99_ms"));
        std::printf("SUMMARY\t%s\tall_inactive_after_close_s\t%.3g\t-\t-\t(info)\t-\n", name.c_str(),
                    medianOf(program, "inactive_seconds"));
    }
    std::printf("  plain accept+read loop: every line read %.3f s after the first connect\n\n", plain);
    std::printf("SUMMARY\tmany_clients\tnothing_lost\t%s\t-\t-\tevery run\t%s\n", allComplete ? "yes" : "no",
                allComplete ? "PASS" : "FAIL");
    std::fflush(stdout);
    return allComplete && goalsMet ? 0 : 1;
}
}

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    if (options.child.empty())
        return drive(options);

    discardLog();
    setDeadline(childDeadlineSeconds - 5);
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    if (options.child == "program")
        return runProgram(options, qtArgc, qtArgv);
    if (options.child == "reference")
        return runReference(options);
    usage();
}
