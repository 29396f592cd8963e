// One client floods one connection window with 100 MB of 80-column text.
//
// Measures, for the real program (Core + MainWindow, one connection window):
// the time until every byte is in the conversation, the lateness of a 10 ms
// timer on the GUI thread meanwhile, the most data ever waiting to be shown
// and the peak resident memory. The baseline, measured in the same run, is a
// bare QTextEdit in a QMdiArea sub-window of the same size that appends the
// same text in 64 KB pieces from a zero-timer, once with its default settings
// (undo on) and once with undo off as our viewer has it. Every variant runs
// in a process of its own so that each peak of memory is its own.
//
// Without --child this is the driver: it runs the variants, prints a table
// and the verdicts. Log lines of the program go into a discarding streambuf
// (std::cout's), so they cost their formatting but no write.

#include "GuiBenchSupport.h"
#include "ProgramUnderTest.h"

#include "ConnectionWindow.h"
#include "ConversationFeed.h"
#include "Core.h"
#include "MainWindow.h"
#include "RemoteLocalDataViewer.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

#include <boost/shared_ptr.hpp>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace GuiBench;

namespace
{
constexpr int childDeadlineSeconds = 170;
constexpr int probeIntervalMs = 10;
// A bare QTextEdit is fed in pieces of this many characters (--piece).
constexpr qsizetype defaultBarePieceLength = 64 * 1024;

struct Options
{
    std::string child;   // empty: the driver
    int runs = 1;
    int chunks = 100;    // of 1,000,000 bytes
    QSize window{1280, 860};
    QSize edit;          // the bare variants' text edit; empty: its own
    QSize mdi;
    bool progress = false; // a progress line on stderr every second
    // The connection's sub-window is maximized before the data comes, so that
    // an 80-column line fits the conversation's width; --normal leaves it at
    // the size it opens with.
    bool maximized = true;
    qsizetype barePiece = defaultBarePieceLength;
    // --long-lines: 1 MiB chunks without a line feed against 80-column lines
    // of the same total, the program only.
    bool longLines = false;
    std::string shape = "long"; // of a --child=program-shape: long or lines
    int mib = 64;
};

[[noreturn]] void usage()
{
    std::fprintf(stderr,
                 "usage: bench_gui_flood [--runs=N] [--chunks=N] [--window=WxH] [--normal] [--progress]\n"
                 "       bench_gui_flood --long-lines [--runs=N] [--mib=64]\n"
                 "  runs the program and the bare QTextEdit baselines, each in a process\n"
                 "  of its own, N times, and prints the medians. --normal leaves the\n"
                 "  connection window at the size it opens with instead of maximizing it;\n"
                 "  --progress prints a line a second from each variant on stderr.\n"
                 "  --long-lines: --mib MiB in 1 MiB chunks without any line feed, against\n"
                 "  80-column lines of the same total, into the program.\n");
    std::exit(2);
}

QSize sizeOption(const std::string& text)
{
    QSize size;
    if (!GuiBench::parseSize(text, size))
        usage();
    return size;
}

std::string sizeText(const QSize& size)
{
    return std::to_string(size.width()) + "x" + std::to_string(size.height());
}

Options parse(int argc, char** argv)
{
    Options options;
    GuiBench::forEachOption(argc, argv, [&options](const std::string& name, const std::string& value) {
        if (name == "--child")
            options.child = value;
        else if (name == "--runs")
            options.runs = std::max(1, std::atoi(value.c_str()));
        else if (name == "--chunks")
            options.chunks = std::max(1, std::atoi(value.c_str()));
        else if (name == "--window")
            options.window = sizeOption(value);
        else if (name == "--edit")
            options.edit = sizeOption(value);
        else if (name == "--mdi")
            options.mdi = sizeOption(value);
        else if (name == "--progress")
            options.progress = true;
        else if (name == "--normal")
            options.maximized = false;
        else if (name == "--long-lines")
            options.longLines = true;
        else if (name == "--shape")
            options.shape = value;
        else if (name == "--mib")
            options.mib = std::max(2, std::atoi(value.c_str()));
        else if (name == "--piece")
            options.barePiece = std::clamp<qsizetype>(std::atoll(value.c_str()), 1, defaultBarePieceLength);
        else
            usage();
    });
    return options;
}

// Characters of the flood text that are not line breaks; the document holds
// exactly these once everything is shown (each '\n' is a block break there).
qsizetype expectedTextCharacters(int chunks)
{
    return static_cast<qsizetype>(chunks) * static_cast<qsizetype>(floodChunkSize / floodLineLength)
           * static_cast<qsizetype>(floodLineLength - 1);
}

qsizetype shownTextCharacters(const QTextDocument* document)
{
    // Every block ends in one separator character (the last in the document's
    // closing one), so the rest is the text.
    return document->characterCount() - document->blockCount();
}

// With --progress: how far a variant has come, once a second, on stderr.
class ProgressLine : public QObject
{
public:
    ProgressLine(bool enabled, std::function<QTextEdit*()> edit)
        : edit(std::move(edit))
    {
        if (!enabled)
            return;
        started.start();
        timer.setInterval(1000);
        QObject::connect(&timer, &QTimer::timeout, this, [this] { print(); });
        timer.start();
    }

private:
    void print()
    {
        QTextEdit* e = edit();
        if (!e)
            return;
        const QTextDocument* document = e->document();
        std::fprintf(stderr, "progress %6.1f s: %7.2f MB shown, %lld blocks, %.0f px tall\n",
                     static_cast<double>(started.elapsed()) / 1000.0,
                     static_cast<double>(document->characterCount()) / 1e6,
                     static_cast<long long>(document->blockCount()), document->size().height());
    }

    std::function<QTextEdit*()> edit;
    QTimer timer;
    QElapsedTimer started;
};

// What every variant reports once its text is all in the document.
void reportCommon(QTextEdit* edit, const LatenessProbe& probe, double shownSeconds, double guiCpuSeconds,
                  int chunks)
{
    const std::vector<double>& lateness = probe.latenessMs();
    QTextDocument* document = edit->document();
    const double bytes = static_cast<double>(chunks) * static_cast<double>(floodChunkSize);
    report("shown_seconds", shownSeconds);
    report("throughput_mb_s", bytes / shownSeconds / 1e6);
    report("late_max_ms", lateness.empty() ? 0.0 : percentile(lateness, 100));
    report("late_p99_ms", percentile(lateness, 99));
    report("late_samples", static_cast<std::int64_t>(lateness.size()));
    if (!lateness.empty()) {
        const auto worst = std::max_element(lateness.begin(), lateness.end()) - lateness.begin();
        report("late_max_at_s", probe.sampleTimes()[static_cast<std::size_t>(worst)]);
        report("late_over_25ms", static_cast<std::int64_t>(std::count_if(lateness.begin(), lateness.end(),
                                                                         [](double ms) { return ms > 25; })));
    }
    // What showing it cost the GUI thread; unlike the time, little moved by
    // other processes competing for the cores.
    report("gui_cpu_seconds", guiCpuSeconds);
    report("edit_size", sizeText(edit->size()));
    report("blocks", static_cast<std::int64_t>(document->blockCount()));

    // A QTextEdit lays a large document out in steps from a timer; finishing
    // that is part of showing it.
    const auto layoutStart = Clock::now();
    const QSizeF size = document->documentLayout()->documentSize();
    report("layout_finish_seconds", seconds(Clock::now() - layoutStart));
    report("document_height_px", size.height());
    report("vm_hwm_bytes", procStatusBytes("VmHWM"));
}

// Compares the document with the flood text. A document that keeps only its
// latest lines is compared from its first whole line on.
void checkDocument(const QTextDocument* document, int chunks)
{
    const auto started = Clock::now();
    FloodChecker checker(chunks);
    QTextBlock block = document->begin();
    const bool trimmed = !document->begin().text().startsWith(QLatin1String("0000000000 "));
    if (trimmed) {
        for (; block.isValid(); block = block.next()) {
            const QString text = block.text();
            bool isNumber = false;
            const qulonglong line = text.left(10).toULongLong(&isNumber);
            if (isNumber && text.size() == static_cast<qsizetype>(floodLineLength - 1) && text[10] == QLatin1Char(' ')) {
                checker.startAt(static_cast<std::size_t>(line) * floodLineLength);
                break;
            }
        }
    }
    report("document_trimmed", std::string(trimmed ? "yes" : "no"));
    report("document_from_byte", static_cast<std::int64_t>(checker.matched()));
    bool first = true;
    for (; block.isValid(); block = block.next()) {
        if (!checker.block(block.text(), first))
            break;
        first = false;
    }
    report("check", checker.complete() ? std::string("ok")
                                       : (checker.problem().empty() ? "short: " + std::to_string(checker.matched())
                                                                    : checker.problem()));
    report("check_seconds", seconds(Clock::now() - started));
}

int runProgram(const Options& options, int argc, char** argv)
{
    ProgramUnderTest program(argc, argv, options.window);
    MainWindow* window = program.window.get();
    const unsigned short port = program.port;

    std::atomic<bool> releaseClient{false};
    std::atomic<bool> startSending{false};
    std::atomic<bool> clientSending{false};
    Clock::time_point sendStart;
    std::atomic<std::int64_t> sendSecondsMicro{0};
    std::thread client([&] {
        const int fd = connectLoopback(port);
        // The window is set up first; the process deadline bounds every wait here.
        while (!startSending.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        sendStart = Clock::now();
        clientSending.store(true);
        std::string chunk;
        for (int k = 0; k < options.chunks; ++k) {
            makeFloodChunk(k, chunk);
            sendAll(fd, chunk.data(), chunk.size());
        }
        sendSecondsMicro.store(static_cast<std::int64_t>(seconds(Clock::now() - sendStart) * 1e6));
        // Stays connected until everything is counted.
        while (!releaseClient.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::close(fd);
    });

    ConnectionWindow* connection = program.waitForWindows(1, options.maximized).front();
    const double cpuAtStart = threadCpuSeconds();
    double cpuAtDone = 0;
    startSending.store(true);

    const qint64 expectedBytes = static_cast<qint64>(options.chunks) * static_cast<qint64>(floodChunkSize);
    qsizetype maxPending = 0;
    Clock::time_point done;
    bool finished = false;
    LatenessProbe* probe = nullptr;
    LatenessProbe probeObject(probeIntervalMs, [&] {
        const qint64 received = static_cast<qint64>(connection->getTranscript().totals().bytes[0]);
        maxPending = std::max<qsizetype>(maxPending, static_cast<qsizetype>(expectedBytes - received));
        if (received >= expectedBytes && connection->isViewCaughtUp()) {
            done = Clock::now();
            cpuAtDone = threadCpuSeconds();
            finished = true;
            probe->stop();
            QCoreApplication::quit();
        }
    });
    probe = &probeObject;
    ProgressLine progress(options.progress, [&] { return connection->textEdit; });
    probe->start();
    program.application->exec();
    if (!finished || !clientSending.load())
        fail("the event loop ended early");

    reportCommon(connection->textEdit, *probe, seconds(done - sendStart), cpuAtDone - cpuAtStart, options.chunks);
    report("pending_max_bytes", static_cast<std::int64_t>(maxPending));
    report("received_bytes", static_cast<std::int64_t>(connection->getTranscript().totals().bytes[0]));
    report("skipped_bytes", static_cast<std::int64_t>(connection->getFeed().getSkippedBytes()));
    report("client_send_seconds", static_cast<double>(sendSecondsMicro.load()) / 1e6);
    report("mdi_size", sizeText(window->mdiArea->size()));
    checkDocument(connection->textEdit->document(), options.chunks);

    const auto teardownStart = Clock::now();
    releaseClient.store(true);
    client.join();
    program.tearDown();
    report("teardown_seconds", seconds(Clock::now() - teardownStart));
    return 0;
}

int runBare(const Options& options, bool undo, int argc, char** argv)
{
    QApplication application(argc, argv);

    QMdiArea area;
    area.resize(options.mdi.isEmpty() ? QSize(1000, 700) : options.mdi);
    auto* edit = new QTextEdit;
    if (!undo)
        edit->setUndoRedoEnabled(false);
    QMdiSubWindow* sub = area.addSubWindow(edit);
    area.show();
    if (options.maximized)
        sub->showMaximized();
    else
        sub->show();
    QCoreApplication::processEvents();
    if (!options.edit.isEmpty() && edit->size() != options.edit) {
        // The program's text edit has neighbours in its window; match its size.
        if (options.maximized)
            area.resize(area.size() + (options.edit - edit->size()));
        else
            sub->resize(sub->size() + (options.edit - edit->size()));
        QCoreApplication::processEvents();
    }

    QTextDocument* document = edit->document();
    std::string bytes;
    QString chunk;
    qsizetype chunkOffset = 0;
    int nextChunk = 0;
    bool startsParagraph = false;
    Clock::time_point started = Clock::now();
    Clock::time_point done;
    bool finished = false;
    double cpuAtStart = 0, cpuAtDone = 0;

    LatenessProbe probe(probeIntervalMs, {});
    QTimer feeder;
    feeder.setInterval(0);
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        if (chunkOffset >= chunk.size()) {
            if (nextChunk == options.chunks) {
                done = Clock::now();
                cpuAtDone = threadCpuSeconds();
                finished = true;
                feeder.stop();
                probe.stop();
                QCoreApplication::quit();
                return;
            }
            // The program turns received bytes into text the same way.
            makeFloodChunk(nextChunk++, bytes);
            chunk = QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
            chunkOffset = 0;
            startsParagraph = true;
        }
        QTextCursor cursor(document);
        cursor.movePosition(QTextCursor::End);
        if (startsParagraph && !document->isEmpty())
            cursor.insertBlock();
        startsParagraph = false;
        const qsizetype length = std::min(options.barePiece, chunk.size() - chunkOffset);
        cursor.insertText(chunk.mid(chunkOffset, length));
        chunkOffset += length;
    });
    ProgressLine progress(options.progress, [edit] { return edit; });
    started = Clock::now();
    cpuAtStart = threadCpuSeconds();
    probe.start();
    feeder.start();
    application.exec();
    if (!finished)
        fail("the event loop ended early");
    if (shownTextCharacters(document) != expectedTextCharacters(options.chunks))
        fail("the bare document holds " + std::to_string(shownTextCharacters(document)) + " characters");

    reportCommon(edit, probe, seconds(done - started), cpuAtDone - cpuAtStart, options.chunks);
    report("pending_max_bytes", static_cast<std::int64_t>(0));
    report("mdi_size", sizeText(area.size()));
    checkDocument(document, options.chunks);
    return 0;
}

// ---- the driver -------------------------------------------------------------

struct Variant
{
    const char* name;
    const char* label;
    std::vector<ChildResult> results;

    double median(const char* key) const
    {
        std::vector<double> values;
        for (const ChildResult& r : results)
            if (r.ok && r.number(key, NAN) == r.number(key, NAN))
                values.push_back(r.number(key));
        return GuiBench::median(values);
    }
    int okRuns() const
    {
        int n = 0;
        for (const ChildResult& r : results)
            n += r.ok && r.text("check") == "ok";
        return n;
    }
};

// ---- long lines -------------------------------------------------------------

constexpr std::size_t shapeChunkSize = 1024 * 1024;

// Byte p of a shaped stream: printable characters, and with the lines shape a
// '\n' closing every 80th byte.
char shapedByte(std::uint64_t p, bool lines)
{
    static const char printable[] = "!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                    "[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~";
    if (lines && p % floodLineLength == floodLineLength - 1)
        return '\n';
    return printable[(p * 7 + p / 997) % (sizeof printable - 1)];
}

void makeShapedChunk(int index, bool lines, std::string& out)
{
    out.resize(shapeChunkSize);
    const std::uint64_t start = static_cast<std::uint64_t>(index) * shapeChunkSize;
    for (std::size_t i = 0; i < shapeChunkSize; ++i)
        out[i] = shapedByte(start + i, lines);
}

int runProgramShape(const Options& options, int argc, char** argv)
{
    const bool lines = options.shape == "lines";
    ProgramUnderTest program(argc, argv, options.window);
    const unsigned short port = program.port;

    std::atomic<bool> startSending{false}, release{false};
    Clock::time_point sendStart, sendEnd;
    std::thread client([&] {
        const int fd = connectLoopback(port);
        std::vector<std::string> chunks(static_cast<std::size_t>(options.mib));
        for (int k = 0; k < options.mib; ++k)
            makeShapedChunk(k, lines, chunks[static_cast<std::size_t>(k)]);
        while (!startSending.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        sendStart = Clock::now();
        for (const std::string& chunk : chunks)
            sendAll(fd, chunk.data(), chunk.size());
        sendEnd = Clock::now();
        while (!release.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::close(fd);
    });
    ConnectionWindow* connection = program.waitForWindows(1, true).front();
    const std::uint64_t total = static_cast<std::uint64_t>(options.mib) * shapeChunkSize;
    const double cpuAtStart = threadCpuSeconds();
    double cpuAtDone = 0;
    Clock::time_point done;
    bool finished = false;
    LatenessProbe* probe = nullptr;
    LatenessProbe probeObject(probeIntervalMs, [&] {
        if (connection->getTranscript().totals().bytes[0] >= total && connection->isViewCaughtUp()) {
            done = Clock::now();
            cpuAtDone = threadCpuSeconds();
            finished = true;
            probe->stop();
            QCoreApplication::quit();
        }
    });
    probe = &probeObject;
    startSending.store(true);
    probe->start();
    program.application->exec();
    if (!finished)
        fail("the event loop ended early");

    const std::vector<double>& lateness = probe->latenessMs();
    report("shown_seconds", seconds(done - sendStart));
    report("send_seconds", seconds(sendEnd - sendStart));
    report("late_max_ms", lateness.empty() ? 0.0 : percentile(lateness, 100));
    report("late_p99_ms", percentile(lateness, 99));
    report("late_samples", static_cast<std::int64_t>(lateness.size()));
    report("gui_cpu_seconds", cpuAtDone - cpuAtStart);
    report("skipped_bytes", static_cast<std::int64_t>(connection->getFeed().getSkippedBytes()));
    report("vm_hwm_bytes", procStatusBytes("VmHWM"));
    QTextDocument* document = connection->textEdit->document();
    report("characters", static_cast<std::int64_t>(document->characterCount()));
    // The view ends with the stream's last bytes.
    const QString last = document->lastBlock().text();
    bool same = !last.isEmpty();
    for (qsizetype i = 0; same && i < last.size(); ++i)
        same = last[i].unicode() == static_cast<unsigned char>(shapedByte(total - static_cast<std::uint64_t>(last.size()) + static_cast<std::uint64_t>(i), lines));
    report("check", std::string(same ? "ok" : "the last paragraph is not the end of the stream"));
    release.store(true);
    client.join();
    program.tearDown();
    return 0;
}

int driveLongLines(const Options& options)
{
    TemporaryConfigHome config;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setDeadline(options.runs * 2 * (childDeadlineSeconds + 10) + 30);
    std::printf("load average at the start: %s\n", Bench::loadAverages().c_str());
    Variant lines{"lines", "80-column lines", {}};
    Variant longOnes{"long", "1 MiB chunks without a line feed", {}};
    const std::string mib = "--mib=" + std::to_string(options.mib);
    for (int run = 1; run <= options.runs; ++run) {
        for (int k = 0; k < 2; ++k) {
            Variant* v = (k + run) % 2 ? &lines : &longOnes;
            v->results.push_back(runSelf({"--child=program-shape", std::string("--shape=") + v->name, mib,
                                          "--window=" + sizeText(options.window)},
                                         childDeadlineSeconds));
            const ChildResult& r = v->results.back();
            std::printf("run %d %-6s %s shown %.2f s (sent in %.2f s), late max %.1f ms p99 %.1f ms, GUI CPU %.2f s, "
                        "skipped %.1f MiB, VmHWM %.0f MiB, check %s\n",
                        run, v->name, r.ok ? "ok  " : ("FAILED (" + r.failure + ")").c_str(), r.number("shown_seconds"),
                        r.number("send_seconds"), r.number("late_max_ms"), r.number("late_p99_ms"),
                        r.number("gui_cpu_seconds"), r.number("skipped_bytes") / 1048576.0,
                        r.number("vm_hwm_bytes") / 1048576.0, r.text("check").c_str());
            std::fflush(stdout);
        }
    }
    std::printf("\nLong lines: %d MiB in 1 MiB chunks into one window; medians of %d run(s)\n", options.mib,
                options.runs);
    std::printf("%-36s %9s %11s %11s %9s %9s %6s\n", "variant", "shown s", "late max ms", "late p99 ms", "GUI CPU s",
                "VmHWM MiB", "ok");
    for (const Variant* v : {&lines, &longOnes})
        std::printf("%-36s %9.2f %11.1f %11.1f %9.2f %9.0f %3d/%d\n", v->label, v->median("shown_seconds"),
                    v->median("late_max_ms"), v->median("late_p99_ms"), v->median("gui_cpu_seconds"),
                    v->median("vm_hwm_bytes") / 1048576.0, v->okRuns(), static_cast<int>(v->results.size()));
    std::printf("load average at the end: %s\n\n", Bench::loadAverages().c_str());
    const auto line = [](const char* metric, double value, double baseline, const char* goal, bool pass) {
        std::printf("SUMMARY\tflood-long\t%s\t%.4g\t%.4g\t%.3f\t%s\t%s\n", metric, value, baseline,
                    baseline != 0 ? value / baseline : NAN, goal, pass ? "PASS" : "FAIL");
    };
    const double longShown = longOnes.median("shown_seconds"), linesShown = lines.median("shown_seconds");
    line("shown_seconds_long_vs_lines", longShown, linesShown, "(info)", true);
    line("late_max_ms_long_vs_lines", longOnes.median("late_max_ms"), lines.median("late_max_ms"), "<= 50",
         longOnes.median("late_max_ms") <= 50);
    line("late_p99_ms_long_vs_lines", longOnes.median("late_p99_ms"), lines.median("late_p99_ms"), "<= 25",
         longOnes.median("late_p99_ms") <= 25);
    std::fflush(stdout);
    const int runs = static_cast<int>(lines.results.size());
    return lines.okRuns() == runs && longOnes.okRuns() == runs ? 0 : 1;
}


void summary(const char* metric, double value, double baseline, const char* goal, bool pass)
{
    char line[512];
    if (std::isnan(baseline))
        std::snprintf(line, sizeof line, "SUMMARY\tflood\t%s\t%.4g\t-\t-\t%s\t%s", metric, value, goal,
                      pass ? "PASS" : "FAIL");
    else
        std::snprintf(line, sizeof line, "SUMMARY\tflood\t%s\t%.4g\t%.4g\t%.3f\t%s\t%s", metric, value, baseline,
                      baseline != 0 ? value / baseline : NAN, goal, pass ? "PASS" : "FAIL");
    std::printf("%s\n", line);
}

int drive(const Options& options)
{
    TemporaryConfigHome config;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setDeadline(options.runs * 3 * (childDeadlineSeconds + 10) + 30);

    Variant program{"program", "program (Core + MainWindow)", {}};
    Variant bare{"bare", "bare QTextEdit, undo on (default)", {}};
    Variant bareNoUndo{"bare-noundo", "bare QTextEdit, undo off", {}};
    const std::string chunks = "--chunks=" + std::to_string(options.chunks);
    std::string editSize, mdiSize;

    for (int run = 1; run <= options.runs; ++run) {
        std::vector<std::string> programArgs{"--child=program", chunks, "--window=" + sizeText(options.window)};
        if (!options.maximized)
            programArgs.push_back("--normal");
        if (options.progress)
            programArgs.push_back("--progress");
        ChildResult p = runSelf(programArgs, childDeadlineSeconds);
        if (p.ok) {
            editSize = p.text("edit_size");
            mdiSize = p.text("mdi_size");
        }
        program.results.push_back(p);
        std::vector<std::string> bareArgs{chunks};
        if (!options.maximized)
            bareArgs.push_back("--normal");
        if (options.progress)
            bareArgs.push_back("--progress");
        if (!editSize.empty())
            bareArgs.push_back("--edit=" + editSize);
        if (!mdiSize.empty())
            bareArgs.push_back("--mdi=" + mdiSize);
        for (Variant* v : {&bare, &bareNoUndo}) {
            std::vector<std::string> args = bareArgs;
            args.push_back(std::string("--child=") + v->name);
            v->results.push_back(runSelf(args, childDeadlineSeconds));
        }
        for (Variant* v : {&program, &bare, &bareNoUndo}) {
            const ChildResult& r = v->results.back();
            std::printf("run %d %-12s %s shown %.2f s, %.2f MB/s, late max %.1f ms p99 %.1f ms, pending max %.2f MiB, "
                        "VmHWM %.0f MiB, layout finish %.2f s, check %s, edit %s, samples %.0f\n",
                        run, v->name, r.ok ? "ok  " : ("FAILED (" + r.failure + ")").c_str(),
                        r.number("shown_seconds"), r.number("throughput_mb_s"), r.number("late_max_ms"),
                        r.number("late_p99_ms"), r.number("pending_max_bytes") / 1048576.0,
                        r.number("vm_hwm_bytes") / 1048576.0, r.number("layout_finish_seconds"),
                        r.text("check").c_str(), r.text("edit_size").c_str(), r.number("late_samples"));
            std::fflush(stdout);
        }
    }

    std::printf("\nFlood: %d x 1,000,000 bytes of 80-column text into one window; medians of %d run(s); "
                "log lines into a discarding std::cout streambuf\n",
                options.chunks, options.runs);
    std::printf("%-36s %9s %8s %11s %11s %15s %9s %9s %6s\n", "variant", "shown s", "MB/s", "late max ms",
                "late p99 ms", "pending max MiB", "VmHWM MiB", "layout s", "ok");
    for (const Variant* v : {&program, &bare, &bareNoUndo}) {
        std::printf("%-36s %9.2f %8.2f %11.1f %11.1f %15.2f %9.0f %9.2f %3d/%d\n", v->label, v->median("shown_seconds"),
                    v->median("throughput_mb_s"), v->median("late_max_ms"), v->median("late_p99_ms"),
                    v->median("pending_max_bytes") / 1048576.0, v->median("vm_hwm_bytes") / 1048576.0,
                    v->median("layout_finish_seconds"), v->okRuns(), static_cast<int>(v->results.size()));
    }
    std::printf("\n");

    const double lateMax = program.median("late_max_ms");
    const double lateP99 = program.median("late_p99_ms");
    double worstPending = 0;
    for (const ChildResult& r : program.results)
        worstPending = std::max(worstPending, r.number("pending_max_bytes", 0));
    const double throughput = program.median("throughput_mb_s");
    const double hwm = program.median("vm_hwm_bytes");
    summary("late_max_ms", lateMax, NAN, "<= 50", lateMax <= 50);
    summary("late_p99_ms", lateP99, NAN, "<= 25", lateP99 <= 25);
    summary("pending_max_MiB(all runs)", worstPending / 1048576.0, NAN, "<= 8", worstPending <= 8.0 * 1048576);
    summary("throughput_MB/s_vs_bare", throughput, bare.median("throughput_mb_s"), ">= 0.9x",
            throughput >= 0.9 * bare.median("throughput_mb_s"));
    summary("throughput_MB/s_vs_bare_noundo", throughput, bareNoUndo.median("throughput_mb_s"), "(info)",
            throughput >= 0.9 * bareNoUndo.median("throughput_mb_s"));
    summary("VmHWM_MiB_vs_bare", hwm / 1048576.0, bare.median("vm_hwm_bytes") / 1048576.0, "<= 1.2x",
            hwm <= 1.2 * bare.median("vm_hwm_bytes"));
    summary("VmHWM_MiB_vs_bare_noundo", hwm / 1048576.0, bareNoUndo.median("vm_hwm_bytes") / 1048576.0, "(info)",
            hwm <= 1.2 * bareNoUndo.median("vm_hwm_bytes"));
    summary("all_bytes_shown_and_in_order", program.okRuns(), NAN, "every run",
            program.okRuns() == static_cast<int>(program.results.size()));
    std::fflush(stdout);
    return program.okRuns() == static_cast<int>(program.results.size()) && bare.okRuns() > 0 ? 0 : 1;
}
}

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    if (options.child.empty())
        return options.longLines ? driveLongLines(options) : drive(options);

    discardLog();
    setDeadline(childDeadlineSeconds - 5);
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    if (options.child == "program")
        return runProgram(options, qtArgc, qtArgv);
    if (options.child == "program-shape")
        return runProgramShape(options, qtArgc, qtArgv);
    if (options.child == "bare")
        return runBare(options, true, qtArgc, qtArgv);
    if (options.child == "bare-noundo")
        return runBare(options, false, qtArgc, qtArgv);
    usage();
}
