// One TLS client (TLS 1.3, AES-GCM) pushes 1 GiB as fast as it can.
//
// Measures, for the real program (Core + MainWindow, the connection's window
// maximized, a TLS listener on 127.0.0.1), the time the client takes from its
// first write to its last, checks that the transcript holds every byte, and
// the lateness of a 10 ms timer on the GUI thread meanwhile. The baseline is a
// bare Asio TLS receiver (an ssl::stream reading into a buffer and dropping
// it, on one IO thread) fed by the same client, with the same certificate.
//
// Without --child this is the driver: it runs both, alternating, each in a
// process of its own, and prints the ratio of the medians.

#include "GuiBenchSupport.h"
#include "ProgramUnderTest.h"
#include "TlsBenchSupport.h"

#include "ConnectionWindow.h"
#include "Core.h"
#include "ListenPlace.h"

#include <QApplication>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace GuiBench;
namespace asio = boost::asio;

namespace
{
constexpr std::size_t sendBlock = 1024 * 1024;
constexpr int probeIntervalMs = 10;

struct Options
{
    std::string child; // empty: the driver
    int runs = 3;
    int mib = 1024;
};

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: bench_gui_tls_push [--runs=N] [--mib=1024]\n"
                         "  one TLS client pushes MiB to the program and to a bare Asio TLS receiver;\n"
                         "  medians of the runs.\n");
    std::exit(2);
}

Options parse(int argc, char** argv)
{
    Options options;
    forEachOption(argc, argv, [&options](const std::string& name, const std::string& value) {
        if (name == "--child")
            options.child = value;
        else if (name == "--runs")
            options.runs = std::max(1, std::atoi(value.c_str()));
        else if (name == "--mib")
            options.mib = std::max(1, std::atoi(value.c_str()));
        else
            usage();
    });
    return options;
}

// The client: connects and shakes hands, waits for the go, writes mib
// blocks of 1 MiB and reports how long the writes took. It closes only once
// released: closing with the server's session tickets unread would reset
// the connection and drop what the receiver has not read yet.
class Pusher
{
public:
    Pusher(const Bench::TlsBenchCertificate& certificate, unsigned short port, int mib)
        : context(Bench::tlsClientContext(certificate.trustFile()))
        , thread([this, port, mib] { run(port, mib); })
    {
    }
    ~Pusher()
    {
        released.store(true);
        thread.join();
    }

    void go() { started.store(true); }
    bool pushed() const { return done.load(); }
    double pushSeconds() const { return seconds(end - begin); }

private:
    void run(unsigned short port, int mib)
    {
        const auto connection = Bench::TlsConnection::connect(context.get(), port);
        // 80-column lines, as a text protocol would send them.
        std::string block(sendBlock, 'x');
        for (std::size_t i = 79; i < block.size(); i += 80)
            block[i] = '\n';
        while (!started.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        begin = Clock::now();
        for (int i = 0; i < mib; ++i)
            connection->writeAll(block.data(), block.size());
        end = Clock::now();
        done.store(true);
        while (!released.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        connection->close();
    }

    Bench::SslContextPtr context;
    std::atomic<bool> started{false};
    std::atomic<bool> done{false};
    std::atomic<bool> released{false};
    Clock::time_point begin, end;
    std::thread thread;
};

int runProgram(const Options& options, int argc, char** argv)
{
    ProgramUnderTest program(argc, argv, QSize(1280, 860));
    const Bench::TlsBenchCertificate certificate;
    const auto loopback = BindAddress::one(asio::ip::make_address("127.0.0.1"));
    program.core->startListening({ListenPlace{loopback, 0, certificate.listenerContext()}});
    const std::uint64_t total = static_cast<std::uint64_t>(options.mib) * sendBlock;

    Pusher pusher(certificate, program.core->getBoundPort(), options.mib);
    ConnectionWindow* connection = program.waitForWindows(1, true).front();
    bool received = false;
    LatenessProbe probe(probeIntervalMs, [&] {
        if (pusher.pushed() && connection->getTranscript().totals().bytes[0] >= total) {
            received = true;
            QCoreApplication::quit();
        }
    });
    pusher.go();
    probe.start();
    QCoreApplication::exec();
    probe.stop();
    if (!received)
        fail("the event loop ended early");
    report("push_seconds", pusher.pushSeconds());
    report("received_bytes", static_cast<std::int64_t>(connection->getTranscript().totals().bytes[0]));
    report("late_max_ms", percentile(probe.latenessMs(), 100));
    program.tearDown();
    return 0;
}

// A bare Asio TLS receiver: one ssl::stream, reads into 64 KiB and drops them.
class BareReceiver
{
public:
    explicit BareReceiver(std::shared_ptr<ListenerContext> tls)
        : tls(std::move(tls))
        , acceptor(io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0))
        , stream(io, this->tls->context())
    {
        acceptor.async_accept(stream.next_layer(), [this](const boost::system::error_code& error) {
            if (!error)
                stream.async_handshake(asio::ssl::stream_base::server,
                                       [this](const boost::system::error_code& failed) {
                                           if (!failed)
                                               readNext();
                                       });
        });
        thread = std::thread([this] { io.run(); });
    }
    ~BareReceiver() { thread.join(); }

    unsigned short port() const { return acceptor.local_endpoint().port(); }
    std::uint64_t received() const { return count.load(); }

private:
    void readNext()
    {
        stream.async_read_some(asio::buffer(buffer), [this](const boost::system::error_code& error, std::size_t size) {
            count.fetch_add(size);
            if (!error)
                readNext();
        });
    }

    std::shared_ptr<ListenerContext> tls;
    asio::io_context io{1};
    asio::ip::tcp::acceptor acceptor;
    asio::ssl::stream<asio::ip::tcp::socket> stream;
    char buffer[65536];
    std::atomic<std::uint64_t> count{0};
    std::thread thread;
};

int runBare(const Options& options)
{
    const Bench::TlsBenchCertificate certificate;
    BareReceiver receiver(certificate.listenerContext());
    {
        Pusher pusher(certificate, receiver.port(), options.mib);
        pusher.go();
        const std::uint64_t total = static_cast<std::uint64_t>(options.mib) * sendBlock;
        while (!pusher.pushed() || receiver.received() < total)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        report("push_seconds", pusher.pushSeconds());
    }
    report("received_bytes", static_cast<std::int64_t>(receiver.received()));
    return 0;
}

double medianOf(const std::vector<ChildResult>& results, const char* key)
{
    std::vector<double> values;
    for (const ChildResult& r : results)
        if (r.ok)
            values.push_back(r.number(key, NAN));
    return median(values);
}

constexpr double goalRatio = 1.3;

int drive(const Options& options)
{
    TemporaryConfigHome config;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const int childDeadline = 60 + options.mib / 8;
    setDeadline(options.runs * 2 * (childDeadline + 10) + 30);
    const std::string mib = "--mib=" + std::to_string(options.mib);
    std::vector<ChildResult> program, bare;
    std::printf("load averages: %s\n", Bench::loadAverages().c_str());
    for (int run = 1; run <= options.runs; ++run) {
        bare.push_back(runSelf({"--child=bare", mib}, childDeadline));
        program.push_back(runSelf({"--child=program", mib}, childDeadline));
        const ChildResult& p = program.back();
        const ChildResult& b = bare.back();
        std::printf("run %d: program %s %.3f s (late max %.1f ms), bare Asio TLS receiver %s %.3f s\n", run,
                    p.ok ? "ok" : ("FAILED (" + p.failure + ")").c_str(), p.number("push_seconds"),
                    p.number("late_max_ms"), b.ok ? "ok" : ("FAILED (" + b.failure + ")").c_str(),
                    b.number("push_seconds"));
        std::fflush(stdout);
    }
    const double ours = medianOf(program, "push_seconds"), base = medianOf(bare, "push_seconds");
    const double ratio = ours / base;
    const double megabytes = static_cast<double>(options.mib) * sendBlock / 1e6;
    std::printf("\nTLS push: %d MiB from one client (TLS 1.3, AES-GCM), medians of %d run(s)\n", options.mib,
                options.runs);
    std::printf("  program %.3f s (%.0f MB/s), bare Asio TLS receiver %.3f s (%.0f MB/s): %.2f x\n", ours,
                megabytes / ours, base, megabytes / base, ratio);
    std::printf("load averages: %s\n", Bench::loadAverages().c_str());
    std::printf("SUMMARY\ttls_push\tpush_seconds_vs_bare_asio_tls\t%.3g\t%.3g\t%.3f\t<= %.1f\t%s\n", ours, base, ratio,
                goalRatio, ratio <= goalRatio ? "PASS" : "FAIL");
    return ratio <= goalRatio ? 0 : 1;
}
}

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    if (options.child.empty())
        return drive(options);
    discardLog();
    setDeadline(60 + options.mib / 8 - 5);
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    if (options.child == "program")
        return runProgram(options, qtArgc, qtArgv);
    if (options.child == "bare")
        return runBare(options);
    usage();
}
