#include "RuleHarness.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>

#include <deque>
#include <fstream>
#include <future>
#include <sstream>

namespace asio = boost::asio;
using boost::system::error_code;

// One client: reads into its RuleRunner and carries out what the rules ask,
// writes in the order asked.
class RuleHarness::Connection : public ConnectionActions, public std::enable_shared_from_this<Connection>
{
public:
    Connection(RuleHarness& harness, asio::ip::tcp::socket accepted)
        : owner(harness)
        , strand(accepted.get_executor())
        , socket(std::move(accepted))
        , pieceTimer(strand)
        , pauseTimer(strand)
        , runner(owner.rules, strand, *this, owner.options)
    {
    }

    void start()
    {
        asio::dispatch(strand, [self = shared_from_this()] {
            self->runner.onConnected();
            self->read();
        });
    }

    // The harness has one IO thread: a handler outside the strand may call this too.
    void close()
    {
        runner.onClosed();
        pieceTimer.cancel();
        pauseTimer.cancel();
        error_code ignored;
        socket.close(ignored);
    }

    void sendBytes(std::string bytes) override { queue(std::move(bytes), std::chrono::milliseconds(0)); }

    void sendInPieces(std::string bytes, std::size_t pieceSize, std::chrono::milliseconds delay) override
    {
        for (std::size_t at = 0; at < bytes.size(); at += pieceSize)
            queue(bytes.substr(at, pieceSize), at == 0 ? std::chrono::milliseconds(0) : delay);
    }

    void sendFile(const std::string& path) override
    {
        std::ostringstream contents;
        contents << std::ifstream(path, std::ios::binary).rdbuf();
        queue(contents.str(), std::chrono::milliseconds(0));
    }

    void closeSending() override
    {
        outgoing.push_back(Out{std::string(), std::chrono::milliseconds(0), true});
        writeNext();
    }

    void reset() override
    {
        error_code ignored;
        socket.set_option(asio::socket_base::linger(true, 0), ignored);
        close();
    }

    void pauseReading(std::chrono::milliseconds duration) override
    {
        paused = true;
        pauseTimer.expires_after(duration);
        pauseTimer.async_wait([self = shared_from_this()](const error_code& error) {
            self->paused = false;
            if (!error && !self->reading)
                self->read();
        });
    }

    void note(const std::string& text) override { owner.addNote(text); }

private:
    struct Out
    {
        std::string bytes;
        std::chrono::milliseconds delay;
        bool shutdownAfter = false;
    };

    void read()
    {
        if (paused || !socket.is_open())
            return;
        reading = true;
        socket.async_read_some(asio::buffer(incoming),
                               asio::bind_executor(strand, [self = shared_from_this()](const error_code& error,
                                                                                       std::size_t size) {
                                   self->reading = false;
                                   if (error)
                                       return self->close();
                                   self->owner.received += size;
                                   self->runner.onReceived(self->incoming, size);
                                   self->read();
                               }));
    }

    void queue(std::string bytes, std::chrono::milliseconds delay)
    {
        outgoing.push_back(Out{std::move(bytes), delay, false});
        writeNext();
    }

    void writeNext()
    {
        if (writing || outgoing.empty() || !socket.is_open())
            return;
        writing = true;
        pieceTimer.expires_after(outgoing.front().delay);
        pieceTimer.async_wait([self = shared_from_this()](const error_code& error) {
            if (error || !self->socket.is_open())
                return;
            asio::async_write(self->socket, asio::buffer(self->outgoing.front().bytes),
                              asio::bind_executor(self->strand, [self](const error_code& writeError, std::size_t) {
                                  self->written(writeError);
                              }));
        });
    }

    void written(const error_code& error)
    {
        writing = false;
        if (error)
            return close();
        error_code ignored;
        if (outgoing.front().shutdownAfter)
            socket.shutdown(asio::socket_base::shutdown_send, ignored);
        outgoing.pop_front();
        writeNext();
    }

    RuleHarness& owner;
    asio::any_io_executor strand;
    asio::ip::tcp::socket socket;
    asio::steady_timer pieceTimer;
    asio::steady_timer pauseTimer;
    RuleRunner runner;
    char incoming[65536];
    std::deque<Out> outgoing;
    bool writing = false;
    bool reading = false;
    bool paused = false;
};

RuleHarness::RuleHarness(std::shared_ptr<const RuleSet> ruleSet, RuleRunner::Options runnerOptions)
    : rules(std::move(ruleSet))
    , options(runnerOptions)
    , work(io.get_executor())
    , acceptor(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0))
{
    listeningPort = acceptor.local_endpoint().port();
    options.listeningPort = listeningPort;
    accept();
    thread = std::thread([this] { io.run(); });
}

RuleHarness::~RuleHarness()
{
    std::promise<void> closed;
    asio::post(io, [this, &closed] {
        error_code ignored;
        acceptor.close(ignored);
        for (const auto& weak : connections)
            if (const auto connection = weak.lock())
                connection->close();
        closed.set_value();
    });
    closed.get_future().wait_for(std::chrono::seconds(10));
    work.reset();
    io.stop();
    thread.join();
}

void RuleHarness::accept()
{
    acceptor.async_accept(asio::make_strand(io), [this](const error_code& error, asio::ip::tcp::socket socket) {
        if (error)
            return;
        const auto connection = std::make_shared<Connection>(*this, std::move(socket));
        connections.push_back(connection);
        connection->start();
        accept();
    });
}

void RuleHarness::addNote(const std::string& text)
{
    const std::lock_guard<std::mutex> lock(notesMutex);
    noteList.push_back(text);
}

std::vector<std::string> RuleHarness::notes() const
{
    const std::lock_guard<std::mutex> lock(notesMutex);
    return noteList;
}
