// The program receiving at line rate: the transcript takes every byte at once
// and the views catch up. Three scenarios, each variant in a process of its
// own, each against a baseline measured in the same run:
//
//   push     one client pushes 1 GiB as fast as it can. Its push time against
//            a plain receiver (blocking accept + read() + write() to a file
//            in /tmp); the peak resident memory against the idle program;
//            the lateness of a 10 ms timer on the GUI thread; the time from
//            the client's last send until the view shows the last bytes.
//   clients  8 clients flood at once for a while (60 s by default): the peak
//            resident memory, and every byte in the transcripts (counts and
//            a checksum against what each client sent).
//   trickle  1,000 messages of 32 bytes, 1 ms apart: the program's CPU time
//            (less the client thread's and the idle program's over the same
//            time) and the time from send until each message is in the
//            view's document, against a bare QTextEdit fed by a reading
//            thread.
//
// The program's children write their log lines to a real standard output
// that is /dev/null, so each line costs its formatting, its trip through the
// log's writer thread and its write(2); report lines go through fd 3.

#include "GuiBenchSupport.h"
#include "ProgramUnderTest.h"

#include "ConnectionWindow.h"
#include "ConversationFeed.h"
#include "Core.h"
#include "Log.h"
#include "MainWindow.h"
#include "RemoteLocalDataViewer.h"
#include "Transcript.h"

#include <QApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include <boost/shared_ptr.hpp>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

using namespace GuiBench;

namespace
{
constexpr int probeIntervalMs = 10;
constexpr std::size_t sendBlock = 1024 * 1024;
const char* const endMarker = "END OF THE PUSH";

struct Options
{
    std::string child; // empty: the driver
    std::vector<std::string> scenarios{"push", "clients", "trickle"};
    int runs = 1;
    int pushMib = 1024;
    int clients = 8;
    int clientSeconds = 20;
    double maxClientGib = 0; // 0: from the free space in the temporary folder
    int messages = 1000;
    int messageGapUs = 1000;
    int idleMs = 3000;
    int plainBuffer = 1000000;
    QSize window{1280, 860};
    QSize edit;
};

[[noreturn]] void usage()
{
    std::fprintf(stderr,
                 "usage: bench_gui_stream [--only=push,clients,trickle] [--runs=N] [--push-mib=1024]\n"
                 "                        [--clients=8] [--client-seconds=20] [--max-client-gib=G]\n"
                 "                        [--messages=1000] [--message-gap-us=1000] [--plain-buffer=BYTES]\n"
                 "                        [--window=1280x860]\n"
                 "  push: one client pushes --push-mib MiB, against a plain receiver writing to a file;\n"
                 "  clients: --clients clients flood for --client-seconds (at most --max-client-gib GiB\n"
                 "  in all, by default a third of the free space of the temporary folder);\n"
                 "  trickle: --messages messages of 32 bytes, --message-gap-us apart, against a bare QTextEdit.\n");
    std::exit(2);
}

std::vector<std::string> splitComma(const std::string& text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = text.find(',', start);
        const std::size_t end = comma == std::string::npos ? text.size() : comma;
        if (end > start)
            parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

Options parse(int argc, char** argv)
{
    Options o;
    forEachOption(argc, argv, [&o](const std::string& name, const std::string& value) {
        const int number = std::atoi(value.c_str());
        if (name == "--child")
            o.child = value;
        else if (name == "--only")
            o.scenarios = splitComma(value);
        else if (name == "--runs")
            o.runs = std::max(1, number);
        else if (name == "--push-mib")
            o.pushMib = std::max(2, number);
        else if (name == "--clients")
            o.clients = std::max(1, number);
        else if (name == "--client-seconds")
            o.clientSeconds = std::max(1, number);
        else if (name == "--max-client-gib")
            o.maxClientGib = std::atof(value.c_str());
        else if (name == "--messages")
            o.messages = std::clamp(number, 1, 9999);
        else if (name == "--message-gap-us")
            o.messageGapUs = std::max(0, number);
        else if (name == "--idle-ms")
            o.idleMs = std::max(100, number);
        else if (name == "--plain-buffer")
            o.plainBuffer = std::max(4096, number);
        else if (name == "--window") {
            if (!parseSize(value, o.window))
                usage();
        } else if (name == "--edit") {
            if (!parseSize(value, o.edit))
                usage();
        } else
            usage();
    });
    return o;
}

std::string sizeText(const QSize& size)
{
    return std::to_string(size.width()) + "x" + std::to_string(size.height());
}

// ---- data -------------------------------------------------------------------

// 80-column lines, each '\n'-terminated; the block is the same for every send
// of the push except the last, which ends with endMarker and no line feed.
std::string lineBlock(std::size_t size)
{
    static const char printable[] = "!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                    "[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~";
    std::string block(size, ' ');
    for (std::size_t i = 0; i < size; ++i)
        block[i] = i % 80 == 79 ? '\n' : printable[(i * 7 + i / 80) % (sizeof printable - 1)];
    return block;
}

std::string lastPushBlock(std::size_t size)
{
    std::string block = lineBlock(size);
    const std::string tail = std::string(" ") + endMarker;
    block.replace(block.size() - tail.size(), tail.size(), tail);
    return block;
}

// A 64-bit checksum of one piece, fast enough for tens of gigabytes.
std::uint64_t pieceHash(const char* data, std::size_t size)
{
    std::uint64_t h = 0x9e3779b97f4a7c15ULL ^ size;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        h = (h ^ word) * 0x100000001b3ULL;
        h ^= h >> 29;
    }
    for (; i < size; ++i)
        h = (h ^ static_cast<unsigned char>(data[i])) * 0x100000001b3ULL;
    return h;
}

// The checksum of a stream: its 1 MiB pieces (by stream offset) hashed and
// combined in order.
struct StreamChecksum
{
    std::uint64_t value = 0;
    std::uint64_t bytes = 0;
    void piece(const char* data, std::size_t size)
    {
        value = (value * 0x5851f42d4c957f2dULL) ^ pieceHash(data, size);
        bytes += size;
    }
};

// ---- the program in a child ---------------------------------------------------

using Program = ProgramUnderTest;

void reportLateness(const std::string& prefix, const std::vector<double>& lateness)
{
    report(prefix + "late_max_ms", lateness.empty() ? 0.0 : percentile(lateness, 100));
    report(prefix + "late_p99_ms", lateness.empty() ? 0.0 : percentile(lateness, 99));
    report(prefix + "late_samples", static_cast<std::int64_t>(lateness.size()));
}

// -- push --

int runPlainPush(const Options& o)
{
    unsigned short port = 0;
    const int listener = listenLoopback(port, 4);
    std::atomic<std::uint64_t> received{0};
    Clock::time_point receivedAll;
    std::thread receiver([&] {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            fail("accept failed");
        const int file = ::open("/tmp", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (file < 0)
            fail(std::string("a file in /tmp: ") + std::strerror(errno));
        std::vector<char> buffer(static_cast<std::size_t>(o.plainBuffer));
        for (;;) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            for (ssize_t done = 0; done < n;) {
                const ssize_t w = ::write(file, buffer.data() + done, static_cast<std::size_t>(n - done));
                if (w <= 0)
                    fail(std::string("write: ") + std::strerror(errno));
                done += w;
            }
            received += static_cast<std::uint64_t>(n);
        }
        receivedAll = Clock::now();
        ::close(file);
        ::close(fd);
    });
    const std::string block = lineBlock(sendBlock);
    const std::string last = lastPushBlock(sendBlock);
    const int fd = connectLoopback(port);
    const auto start = Clock::now();
    for (int i = 0; i < o.pushMib; ++i) {
        const std::string& b = i + 1 == o.pushMib ? last : block;
        sendAll(fd, b.data(), b.size());
    }
    const auto pushed = Clock::now();
    ::shutdown(fd, SHUT_WR);
    receiver.join();
    ::close(fd);
    ::close(listener);
    report("push_seconds", seconds(pushed - start));
    report("received_seconds", seconds(receivedAll - start));
    report("received_bytes", static_cast<std::int64_t>(received.load()));
    report("process_cpu_seconds", processCpuSeconds());
    report("vm_hwm_bytes", procStatusBytes("VmHWM"));
    return received.load() == static_cast<std::uint64_t>(o.pushMib) * sendBlock ? 0 : 1;
}

int runIdle(const Options& o, int argc, char** argv)
{
    Program program(argc, argv, o.window);
    // Settles first: the first events after show() are not idleness.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const double cpuStart = processCpuSeconds();
    const auto start = Clock::now();
    QTimer::singleShot(o.idleMs, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    report("idle_cpu_seconds", processCpuSeconds() - cpuStart);
    report("idle_wall_seconds", seconds(Clock::now() - start));
    report("vm_hwm_bytes", procStatusBytes("VmHWM"));
    report("vm_rss_bytes", procStatusBytes("VmRSS"));
    program.tearDown();
    return 0;
}

int runPush(const Options& o, int argc, char** argv)
{
    Program program(argc, argv, o.window);
    const std::string block = lineBlock(sendBlock);
    const std::string last = lastPushBlock(sendBlock);
    const std::uint64_t total = static_cast<std::uint64_t>(o.pushMib) * sendBlock;

    std::atomic<bool> startSending{false}, pushed{false}, release{false};
    Clock::time_point sendStart, sendEnd;
    double clientCpu = 0;
    std::thread client([&] {
        const int fd = connectLoopback(program.port);
        while (!startSending.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        sendStart = Clock::now();
        for (int i = 0; i < o.pushMib; ++i) {
            const std::string& b = i + 1 == o.pushMib ? last : block;
            sendAll(fd, b.data(), b.size());
        }
        sendEnd = Clock::now();
        clientCpu = threadCpuSeconds();
        pushed.store(true);
        while (!release.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::close(fd);
    });
    ConnectionWindow* connection = program.waitForWindows(1, true).front();
    QTextDocument* document = connection->textEdit->document();
    Clock::time_point lastChange = Clock::now();
    QObject::connect(document, &QTextDocument::contentsChange, [&lastChange] { lastChange = Clock::now(); });
    const std::int64_t hwmBefore = procStatusBytes("VmHWM");
    const double cpuStart = processCpuSeconds();
    const QString tail = QString::fromLatin1(endMarker);

    std::vector<double> floodLateness;
    Clock::time_point shownAt;
    bool shown = false;
    std::int64_t rssMax = 0;
    std::vector<double> busyMs; // the GUI thread's CPU between two firings
    double lastCpu = threadCpuSeconds();
    QTimer finishPoll;
    finishPoll.setTimerType(Qt::PreciseTimer);
    finishPoll.setInterval(1);
    auto check = [&] {
        if (shown || !pushed.load())
            return;
        if (connection->getTranscript().totals().bytes[0] < total || !connection->isViewCaughtUp())
            return;
        if (!document->lastBlock().text().endsWith(tail))
            return;
        shown = true;
        shownAt = std::max(sendEnd, lastChange);
        QTimer::singleShot(50, [] { QCoreApplication::quit(); });
    };
    QObject::connect(&finishPoll, &QTimer::timeout, check);
    LatenessProbe probe(probeIntervalMs, [&] {
        const double cpu = threadCpuSeconds();
        busyMs.push_back((cpu - lastCpu) * 1000);
        lastCpu = cpu;
        rssMax = std::max(rssMax, procStatusBytes("VmRSS"));
        if (pushed.load() && !finishPoll.isActive())
            finishPoll.start();
        check();
    });
    startSending.store(true);
    probe.start();
    QCoreApplication::exec();
    probe.stop();
    finishPoll.stop();
    if (!shown)
        fail("the event loop ended early");
    // Lateness while the client pushed and until the end was shown.
    const double endOfInterest = seconds(shownAt - sendStart) + 0.01;
    const std::vector<double>& samples = probe.latenessMs();
    std::vector<double> floodBusy;
    double worstAt = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (probe.sampleTimes()[i] > endOfInterest)
            continue;
        if (floodLateness.empty() || samples[i] > *std::max_element(floodLateness.begin(), floodLateness.end()))
            worstAt = probe.sampleTimes()[i];
        floodLateness.push_back(samples[i]);
        floodBusy.push_back(busyMs[i]);
    }
    report("late_max_at_s", worstAt);
    if (std::getenv("BENCH_TRACE"))
        for (std::size_t i = 0; i < samples.size(); ++i)
            std::fprintf(stderr, "tick %.3f late %.1f busy %.1f\n", probe.sampleTimes()[i], samples[i], busyMs[i]);
    // The GUI thread's own CPU time between two firings: what lateness it
    // caused itself, whatever else ran on the machine.
    report("busy_max_ms", floodBusy.empty() ? 0.0 : percentile(floodBusy, 100));
    report("busy_p99_ms", floodBusy.empty() ? 0.0 : percentile(floodBusy, 99));
    report("gui_cpu_seconds", std::accumulate(floodBusy.begin(), floodBusy.end(), 0.0) / 1000);

    report("push_seconds", seconds(sendEnd - sendStart));
    report("shown_after_ms", seconds(shownAt - sendEnd) * 1000);
    reportLateness("", floodLateness);
    report("vm_hwm_before_bytes", hwmBefore);
    report("vm_hwm_bytes", procStatusBytes("VmHWM"));
    report("vm_rss_max_bytes", rssMax);
    report("process_cpu_seconds", processCpuSeconds() - cpuStart);
    report("client_cpu_seconds", clientCpu);
    report("received_bytes", static_cast<std::int64_t>(connection->getTranscript().totals().bytes[0]));
    report("skipped_bytes", static_cast<std::int64_t>(connection->getFeed().getSkippedBytes()));
    report("edit_size", sizeText(connection->textEdit->size()));
    release.store(true);
    client.join();
    program.tearDown();
    return 0;
}

// -- clients --

int runClients(const Options& o, int argc, char** argv)
{
    Program program(argc, argv, o.window);
    const int n = o.clients;
    const std::uint64_t cap = static_cast<std::uint64_t>(o.maxClientGib * 1024 * 1024 * 1024);
    std::atomic<std::uint64_t> sentInAll{0};
    std::atomic<bool> startSending{false}, release{false};
    std::atomic<int> clientsDone{0};
    std::atomic<bool> capReached{false};
    std::vector<StreamChecksum> sums(static_cast<std::size_t>(n));
    std::vector<std::thread> clients;
    const auto duration = std::chrono::seconds(o.clientSeconds);
    for (int c = 0; c < n; ++c) {
        clients.emplace_back([&, c] {
            const int fd = connectLoopback(program.port);
            std::string block = lineBlock(sendBlock);
            while (!startSending.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const auto end = Clock::now() + duration;
            for (std::uint64_t k = 0; Clock::now() < end; ++k) {
                if (sentInAll.fetch_add(sendBlock) + sendBlock > cap) {
                    capReached.store(true);
                    break;
                }
                // Every block says whose and which it is.
                char header[40];
                const int length = std::snprintf(header, sizeof header, "client %03d block %09llu ", c,
                                                 static_cast<unsigned long long>(k));
                block.replace(0, static_cast<std::size_t>(length), header, static_cast<std::size_t>(length));
                sendAll(fd, block.data(), block.size());
                sums[static_cast<std::size_t>(c)].piece(block.data(), block.size());
            }
            ++clientsDone;
            while (!release.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ::close(fd);
        });
    }
    const std::vector<ConnectionWindow*> windows = program.waitForWindows(n, false);
    const std::int64_t hwmBefore = procStatusBytes("VmHWM");
    std::int64_t rssMax = 0;
    bool allIn = false;
    Clock::time_point allInAt;
    const auto start = Clock::now();
    std::vector<double> busyMs;
    double lastCpu = threadCpuSeconds();
    LatenessProbe probe(probeIntervalMs, [&] {
        const double cpu = threadCpuSeconds();
        busyMs.push_back((cpu - lastCpu) * 1000);
        lastCpu = cpu;
        rssMax = std::max(rssMax, procStatusBytes("VmRSS"));
        if (clientsDone.load() < n || allIn)
            return;
        std::uint64_t inTranscripts = 0;
        for (ConnectionWindow* w : windows)
            inTranscripts += w->getTranscript().totals().bytes[0];
        std::uint64_t sent = 0;
        for (const StreamChecksum& s : sums)
            sent += s.bytes;
        bool caughtUp = true;
        for (ConnectionWindow* w : windows)
            caughtUp = caughtUp && w->isViewCaughtUp();
        if (inTranscripts >= sent && caughtUp) {
            allIn = true;
            allInAt = Clock::now();
            QCoreApplication::quit();
        }
    });
    startSending.store(true);
    probe.start();
    QCoreApplication::exec();
    probe.stop();
    if (!allIn)
        fail("the event loop ended early");

    // Every transcript against what its client sent.
    const auto checkStart = Clock::now();
    int matched = 0;
    std::uint64_t sentBytes = 0;
    std::string piece;
    for (ConnectionWindow* w : windows) {
        const Transcript& transcript = w->getTranscript();
        transcript.read(0, 32, piece);
        int c = -1;
        if (std::sscanf(piece.c_str(), "client %d", &c) != 1 || c < 0 || c >= n)
            continue;
        StreamChecksum sum;
        for (std::uint64_t offset = 0; offset < transcript.size(); offset += sendBlock) {
            transcript.read(offset, sendBlock, piece);
            sum.piece(piece.data(), piece.size());
        }
        const StreamChecksum& expected = sums[static_cast<std::size_t>(c)];
        const bool same = sum.bytes == expected.bytes && sum.value == expected.value
                          && transcript.totals().bytes[1] == 0;
        matched += same;
        if (!same)
            std::fprintf(stderr, "client %d: sent %llu bytes, transcript %llu\n", c,
                         static_cast<unsigned long long>(expected.bytes), static_cast<unsigned long long>(sum.bytes));
    }
    for (const StreamChecksum& s : sums)
        sentBytes += s.bytes;

    report("flood_seconds", static_cast<double>(o.clientSeconds));
    report("all_in_seconds", seconds(allInAt - start));
    report("sent_bytes", static_cast<std::int64_t>(sentBytes));
    report("cap_reached", std::string(capReached.load() ? "yes" : "no"));
    report("throughput_mb_s", static_cast<double>(sentBytes) / seconds(allInAt - start) / 1e6);
    report("transcripts_matching", static_cast<std::int64_t>(matched));
    report("check_seconds", seconds(Clock::now() - checkStart));
    reportLateness("", probe.latenessMs());
    report("busy_max_ms", busyMs.empty() ? 0.0 : percentile(busyMs, 100));
    report("busy_p99_ms", busyMs.empty() ? 0.0 : percentile(busyMs, 99));
    if (std::getenv("BENCH_TRACE"))
        for (std::size_t i = 0; i < busyMs.size(); ++i)
            std::fprintf(stderr, "tick %.3f late %.1f busy %.1f\n", probe.sampleTimes()[i], probe.latenessMs()[i], busyMs[i]);
    report("vm_hwm_before_bytes", hwmBefore);
    report("vm_hwm_bytes", procStatusBytes("VmHWM"));
    report("vm_rss_max_bytes", rssMax);
    release.store(true);
    for (std::thread& t : clients)
        t.join();
    program.tearDown();
    return matched == n ? 0 : 1;
}

// -- trickle --

// Message i: 32 bytes, "message NNNN of the trickle ...\n".
std::string message(int i)
{
    char text[40];
    std::snprintf(text, sizeof text, "message %04d of the trickle....", i);
    std::string m(text, 31);
    m += '\n';
    return m;
}

// Records when each message first appears in a document.
class ArrivalWatch
{
public:
    ArrivalWatch(QTextDocument* document, int messages)
        : document(document)
        , seen(static_cast<std::size_t>(messages), Clock::time_point{})
    {
        QObject::connect(document, &QTextDocument::contentsChange,
                         [this](int position, int, int added) { changed(position, added); });
    }

    int count() const { return seenCount; }
    const std::vector<Clock::time_point>& times() const { return seen; }

private:
    void changed(int position, int added)
    {
        const auto now = Clock::now();
        for (QTextBlock block = document->findBlock(position); block.isValid() && block.position() <= position + added;
             block = block.next()) {
            const QString text = block.text();
            const qsizetype at = text.indexOf(QLatin1String("message "));
            if (at < 0 || text.size() < at + 12)
                continue;
            bool ok = false;
            const int i = text.mid(at + 8, 4).toInt(&ok);
            if (!ok || i < 0 || i >= static_cast<int>(seen.size()) || seen[static_cast<std::size_t>(i)] != Clock::time_point{})
                continue;
            if (!text.mid(at).startsWith(QLatin1String(message(i).c_str(), 31)))
                continue;
            seen[static_cast<std::size_t>(i)] = now;
            ++seenCount;
        }
    }

    QTextDocument* document;
    std::vector<Clock::time_point> seen;
    int seenCount = 0;
};

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

// The client: sends message i at start + i gaps; returns its CPU time.
struct Trickler
{
    std::vector<Clock::time_point> sentAt;
    std::atomic<bool> go{false}, release{false};
    double cpu = 0;
    std::thread thread;

    void start(unsigned short port, const Options& o)
    {
        sentAt.resize(static_cast<std::size_t>(o.messages));
        thread = std::thread([this, port, o] {
            const int fd = connectLoopback(port);
            while (!go.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const auto start = Clock::now();
            for (int i = 0; i < o.messages; ++i) {
                std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<long long>(i) * o.messageGapUs));
                const std::string m = message(i);
                sentAt[static_cast<std::size_t>(i)] = Clock::now();
                sendAll(fd, m.data(), m.size());
            }
            cpu = threadCpuSeconds();
            while (!release.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ::close(fd);
        });
    }
    void finish()
    {
        release.store(true);
        thread.join();
    }
};

// Runs the event loop until every message is seen (and 100 ms more, for the
// last repaint), then reports latencies and CPU.
int trickleMeasure(Trickler& trickler, ArrivalWatch& watch, QTextEdit* edit, const Options& o)
{
    PaintCounter paints(edit->viewport());
    PaintCounter barPaints(edit->verticalScrollBar());
    const double cpuStart = processCpuSeconds();
    const double guiCpuStart = threadCpuSeconds();
    const auto wallStart = Clock::now();
    bool allSeen = false;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!allSeen && watch.count() == o.messages) {
            allSeen = true;
            QTimer::singleShot(100, [] { QCoreApplication::quit(); });
        }
    });
    trickler.go.store(true);
    poll.start();
    QCoreApplication::exec();
    const double wall = seconds(Clock::now() - wallStart);
    const double cpu = processCpuSeconds() - cpuStart;
    const double guiCpu = threadCpuSeconds() - guiCpuStart;
    trickler.finish();
    if (!allSeen)
        fail("the event loop ended early");
    std::vector<double> latency;
    for (int i = 0; i < o.messages; ++i)
        latency.push_back(seconds(watch.times()[static_cast<std::size_t>(i)] - trickler.sentAt[static_cast<std::size_t>(i)]) * 1000);
    report("latency_p50_ms", percentile(latency, 50));
    report("latency_p99_ms", percentile(latency, 99));
    report("latency_max_ms", percentile(latency, 100));
    report("wall_seconds", wall);
    report("cpu_seconds", cpu - trickler.cpu);
    report("client_cpu_seconds", trickler.cpu);
    report("gui_cpu_seconds", guiCpu);
    report("viewport_paints", static_cast<std::int64_t>(paints.count));
    report("scroll_bar_paints", static_cast<std::int64_t>(barPaints.count));
    return 0;
}

int runTrickle(const Options& o, int argc, char** argv)
{
    Program program(argc, argv, o.window);
    Trickler trickler;
    trickler.start(program.port, o);
    ConnectionWindow* connection = program.waitForWindows(1, true).front();
    ArrivalWatch watch(connection->textEdit->document(), o.messages);
    report("edit_size", sizeText(connection->textEdit->size()));
    const int status = trickleMeasure(trickler, watch, connection->textEdit, o);
    program.tearDown();
    return status;
}

// A bare QTextEdit fed by a thread that reads the socket and posts each read
// to the GUI thread, which appends it as a paragraph of its own.
int runTrickleBare(const Options& o, int argc, char** argv)
{
    QApplication application(argc, argv);
    QMdiArea area;
    area.resize(1000, 700);
    auto* edit = new QTextEdit;
    edit->setUndoRedoEnabled(false);
    edit->setReadOnly(true);
    QMdiSubWindow* sub = area.addSubWindow(edit);
    area.show();
    sub->showMaximized();
    QCoreApplication::processEvents();
    if (!o.edit.isEmpty() && edit->size() != o.edit) {
        area.resize(area.size() + (o.edit - edit->size()));
        QCoreApplication::processEvents();
    }
    unsigned short port = 0;
    const int listener = listenLoopback(port, 4);
    std::thread reader([&] {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            const QString text = QString::fromLatin1(buffer, n);
            QMetaObject::invokeMethod(edit, [edit, text] {
                QTextCursor cursor(edit->document());
                cursor.movePosition(QTextCursor::End);
                if (!edit->document()->isEmpty())
                    cursor.insertBlock();
                cursor.insertText(text);
                // Follows the newest line, as the program's view does.
                edit->verticalScrollBar()->setValue(edit->verticalScrollBar()->maximum());
            });
        }
        ::close(fd);
    });
    Trickler trickler;
    trickler.start(port, o);
    ArrivalWatch watch(edit->document(), o.messages);
    const int status = trickleMeasure(trickler, watch, edit, o);
    ::shutdown(listener, SHUT_RDWR);
    reader.join();
    ::close(listener);
    return status;
}

// ---- the driver -------------------------------------------------------------

struct Series
{
    std::vector<ChildResult> results;
    double median(const char* key) const
    {
        std::vector<double> values;
        for (const ChildResult& r : results)
            if (r.ok && !std::isnan(r.number(key, NAN)))
                values.push_back(r.number(key));
        return GuiBench::median(values);
    }
    double worst(const char* key) const
    {
        double w = NAN;
        for (const ChildResult& r : results)
            if (r.ok && !std::isnan(r.number(key, NAN)))
                w = std::isnan(w) ? r.number(key) : std::max(w, r.number(key));
        return w;
    }
    bool allOk() const
    {
        return std::all_of(results.begin(), results.end(), [](const ChildResult& r) { return r.ok; });
    }
};

void summary(const char* bench, const std::string& metric, double value, double baseline, const char* goal, bool pass)
{
    if (std::isnan(baseline))
        std::printf("SUMMARY\t%s\t%s\t%.4g\t-\t-\t%s\t%s\n", bench, metric.c_str(), value, goal, pass ? "PASS" : "FAIL");
    else
        std::printf("SUMMARY\t%s\t%s\t%.4g\t%.4g\t%.3f\t%s\t%s\n", bench, metric.c_str(), value, baseline,
                    baseline != 0 ? value / baseline : NAN, goal, pass ? "PASS" : "FAIL");
    std::fflush(stdout);
}

ChildResult child(const std::vector<std::string>& args, int deadline, bool logToDevNull = true)
{
    SpawnOptions spawn;
    spawn.stdoutToDevNull = logToDevNull;
    ChildResult r = runSelf(args, deadline, spawn);
    if (!r.ok)
        std::printf("  %s: FAILED (%s)\n", args.front().c_str(), r.failure.c_str());
    return r;
}

double mib(double bytes)
{
    return bytes / 1048576.0;
}

void printLoad(const char* when)
{
    std::printf("load average %s: %s\n", when, Bench::loadAverages().c_str());
}

bool drivePush(const Options& o)
{
    Series plain, program, idle;
    const std::string mibArg = "--push-mib=" + std::to_string(o.pushMib);
    const int deadline = 60 + o.pushMib / 4;
    for (int run = 1; run <= o.runs; ++run) {
        // Alternating order, so that neither side always runs first.
        for (int k = 0; k < 3; ++k) {
            const int which = (k + run - 1) % 3;
            if (which == 0)
                plain.results.push_back(child({"--child=plain-push", mibArg,
                                               "--plain-buffer=" + std::to_string(o.plainBuffer)}, deadline));
            else if (which == 1)
                program.results.push_back(child({"--child=push", mibArg}, deadline));
            else
                idle.results.push_back(child({"--child=idle", "--idle-ms=2000"}, 60));
        }
        const ChildResult& p = program.results.back();
        const ChildResult& b = plain.results.back();
        std::printf("run %d push: program %.3f s (shown %.1f ms after, late max %.1f (at %.2f s) p99 %.1f ms, GUI busy "
                    "max %.1f p99 %.1f ms, VmHWM %.0f MiB, CPU %.2f s (GUI thread %.2f s), skipped %.0f MiB) | plain %.3f s (CPU %.2f s) | "
                    "idle VmHWM %.0f MiB\n",
                    run, p.number("push_seconds"), p.number("shown_after_ms"), p.number("late_max_ms"),
                    p.number("late_max_at_s"), p.number("late_p99_ms"), p.number("busy_max_ms"), p.number("busy_p99_ms"), mib(p.number("vm_hwm_bytes")), p.number("process_cpu_seconds"), p.number("gui_cpu_seconds"),
                    mib(p.number("skipped_bytes")), b.number("push_seconds"), b.number("process_cpu_seconds"),
                    mib(idle.results.back().number("vm_hwm_bytes")));
        std::fflush(stdout);
    }
    const double push = program.median("push_seconds"), base = plain.median("push_seconds");
    const double hwm = program.median("vm_hwm_bytes"), idleHwm = idle.median("vm_hwm_bytes");
    std::printf("\nPush: %d MiB from one client, medians of %d run(s)\n", o.pushMib, o.runs);
    std::printf("  push time: program %.3f s (%.0f MB/s), plain receiver to a file %.3f s (%.0f MB/s): %.2f x\n", push,
                static_cast<double>(o.pushMib) * sendBlock / push / 1e6, base,
                static_cast<double>(o.pushMib) * sendBlock / base / 1e6, push / base);
    std::printf("  peak RSS: program %.0f MiB, idle program %.0f MiB: +%.0f MiB\n", mib(hwm), mib(idleHwm),
                mib(hwm - idleHwm));
    std::printf("  GUI lateness: max %.1f ms, p99 %.1f ms; shown %.1f ms after the last send\n\n",
                program.median("late_max_ms"), program.median("late_p99_ms"), program.median("shown_after_ms"));
    summary("push", "push_seconds_vs_plain_file", push, base, "<= 1.5x", push <= 1.5 * base);
    summary("push", "VmHWM_MiB_over_idle", mib(hwm - idleHwm), NAN, "<= 128", hwm - idleHwm <= 128.0 * 1048576);
    summary("push", "late_max_ms", program.median("late_max_ms"), NAN, "<= 50", program.median("late_max_ms") <= 50);
    summary("push", "shown_after_last_send_ms", program.median("shown_after_ms"), NAN, "<= 100",
            program.median("shown_after_ms") <= 100);
    return program.allOk() && plain.allOk() && idle.allOk();
}

double defaultClientCapGib()
{
    struct statvfs fs {};
    const char* tmp = std::getenv("TMPDIR");
    if (statvfs(tmp && *tmp ? tmp : "/tmp", &fs) != 0)
        return 8;
    const double freeGib = static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize) / (1024.0 * 1024 * 1024);
    return std::max(1.0, freeGib / 3);
}

bool driveClients(const Options& o)
{
    Series program;
    const double cap = o.maxClientGib > 0 ? o.maxClientGib : defaultClientCapGib();
    const int deadline = o.clientSeconds + 240;
    for (int run = 1; run <= o.runs; ++run) {
        char capArg[64];
        std::snprintf(capArg, sizeof capArg, "--max-client-gib=%.2f", cap);
        program.results.push_back(child({"--child=clients", "--clients=" + std::to_string(o.clients),
                                         "--client-seconds=" + std::to_string(o.clientSeconds), capArg},
                                        deadline));
        const ChildResult& p = program.results.back();
        std::printf("run %d clients: %d x %d s: %.2f GiB sent (%.0f MB/s, cap %s), all in after %.1f s, %0.f/%d "
                    "transcripts match, VmHWM %.0f MiB, late max %.1f p99 %.1f ms, GUI busy max %.1f p99 %.1f ms, check %.1f s\n",
                    run, o.clients, o.clientSeconds, p.number("sent_bytes") / 1073741824.0,
                    p.number("throughput_mb_s"), p.text("cap_reached").c_str(), p.number("all_in_seconds"),
                    p.number("transcripts_matching"), o.clients, mib(p.number("vm_hwm_bytes")),
                    p.number("late_max_ms"), p.number("late_p99_ms"), p.number("busy_max_ms"), p.number("busy_p99_ms"),
                    p.number("check_seconds"));
        std::fflush(stdout);
    }
    const double hwm = program.worst("vm_hwm_bytes");
    bool everyByte = program.allOk();
    for (const ChildResult& r : program.results)
        everyByte = everyByte && r.number("transcripts_matching") == o.clients;
    std::printf("\n");
    summary("clients", "VmHWM_MiB(worst)", mib(hwm), NAN, "<= 1024", hwm <= 1024.0 * 1048576);
    summary("clients", "transcripts_matching_sent", everyByte ? 1 : 0, NAN, "all", everyByte);
    summary("clients", "MB/s_received", program.median("throughput_mb_s"), NAN, "(info)", true);
    summary("clients", "late_max_ms", program.median("late_max_ms"), NAN, "(info)", true);
    return everyByte;
}

bool driveTrickle(const Options& o)
{
    Series program, bare, idle;
    const std::vector<std::string> common{"--messages=" + std::to_string(o.messages),
                                          "--message-gap-us=" + std::to_string(o.messageGapUs),
                                          "--window=" + sizeText(o.window)};
    std::string editSize;
    for (int run = 1; run <= o.runs; ++run) {
        std::vector<std::string> args = common;
        args.insert(args.begin(), "--child=trickle");
        program.results.push_back(child(args, 60));
        if (program.results.back().ok)
            editSize = program.results.back().text("edit_size");
        args = common;
        args.insert(args.begin(), "--child=trickle-bare");
        if (!editSize.empty())
            args.push_back("--edit=" + editSize);
        bare.results.push_back(child(args, 60));
        const double wall = program.results.back().number("wall_seconds", 1.2);
        idle.results.push_back(child({"--child=idle", "--idle-ms=" + std::to_string(static_cast<int>(wall * 1000))}, 60));
        const ChildResult& p = program.results.back();
        const ChildResult& b = bare.results.back();
        std::printf("run %d trickle: program CPU %.3f s (idle %.3f s), latency p50 %.2f p99 %.2f max %.2f ms, "
                    "%.0f paints | bare CPU %.3f s, p50 %.2f p99 %.2f max %.2f ms, %.0f paints\n",
                    run, p.number("cpu_seconds"), idle.results.back().number("idle_cpu_seconds"),
                    p.number("latency_p50_ms"), p.number("latency_p99_ms"), p.number("latency_max_ms"),
                    p.number("viewport_paints"), b.number("cpu_seconds"), b.number("latency_p50_ms"),
                    b.number("latency_p99_ms"), b.number("latency_max_ms"), b.number("viewport_paints"));
        std::fflush(stdout);
    }
    // The idle program's CPU, scaled to the same wall time.
    std::vector<double> net;
    for (std::size_t i = 0; i < program.results.size(); ++i) {
        const ChildResult& p = program.results[i];
        const ChildResult& id = idle.results[i];
        if (p.ok && id.ok)
            net.push_back(p.number("cpu_seconds")
                          - id.number("idle_cpu_seconds") * p.number("wall_seconds") / id.number("idle_wall_seconds"));
    }
    const double cpu = median(net);
    const double p99 = program.median("latency_p99_ms");
    std::printf("\nTrickle: %d messages of 32 bytes, %d us apart; medians of %d run(s)\n", o.messages, o.messageGapUs,
                o.runs);
    std::printf("  program CPU less idle: %.3f s; bare QTextEdit CPU: %.3f s\n", cpu, bare.median("cpu_seconds"));
    std::printf("  send to document: program p50 %.2f p99 %.2f ms, bare p50 %.2f p99 %.2f ms\n\n",
                program.median("latency_p50_ms"), p99, bare.median("latency_p50_ms"), bare.median("latency_p99_ms"));
    summary("trickle", "cpu_seconds_less_idle", cpu, bare.median("cpu_seconds"), "<= 0.2 s", cpu <= 0.2);
    summary("trickle", "latency_p99_ms", p99, bare.median("latency_p99_ms"), "<= 5 ms", p99 <= 5);
    return program.allOk() && bare.allOk();
}

int drive(const Options& o)
{
    TemporaryConfigHome config;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setDeadline(o.runs * (o.pushMib / 2 + o.clientSeconds + 600) + 120);
    printLoad("at the start");
    bool ok = true;
    for (const std::string& scenario : o.scenarios) {
        std::printf("\n=== %s\n", scenario.c_str());
        std::fflush(stdout);
        if (scenario == "push")
            ok = drivePush(o) && ok;
        else if (scenario == "clients")
            ok = driveClients(o) && ok;
        else if (scenario == "trickle")
            ok = driveTrickle(o) && ok;
        else
            usage();
    }
    printLoad("at the end");
    return ok ? 0 : 1;
}
}

int main(int argc, char** argv)
{
    const Options o = parse(argc, argv);
    if (o.child.empty())
        return drive(o);

    reportToDescriptorFromEnvironment();
    setDeadline(o.clientSeconds + 400);
    raiseDescriptorLimit();
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    if (o.child == "plain-push")
        return runPlainPush(o);
    if (o.child == "idle")
        return runIdle(o, qtArgc, qtArgv);
    if (o.child == "push")
        return runPush(o, qtArgc, qtArgv);
    if (o.child == "clients")
        return runClients(o, qtArgc, qtArgv);
    if (o.child == "trickle")
        return runTrickle(o, qtArgc, qtArgv);
    if (o.child == "trickle-bare")
        return runTrickleBare(o, qtArgc, qtArgv);
    usage();
}
