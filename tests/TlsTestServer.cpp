#include "TlsTestServer.h"

#include "CloseNotify.h"
#include "ConnectionEnd.h"
#include "TlsFailure.h"

#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <openssl/ssl.h>

#include <cstdlib>

namespace asio = boost::asio;
using boost::system::error_code;

class TlsTestServer::Connection : public std::enable_shared_from_this<Connection>
{
public:
    Connection(TlsTestServer& server)
        : server(server)
        , stream(server.io, server.listenerContext->context())
        , timer(server.io)
    {
        SSL_set_msg_callback(stream.native_handle(), countRecords);
        SSL_set_msg_callback_arg(stream.native_handle(), &recordsWritten);
    }

    asio::ip::tcp::socket& socket() { return stream.next_layer(); }

    void start()
    {
        started = std::chrono::steady_clock::now();
        timer.expires_after(server.listenerContext->handshakeTimeout());
        timer.async_wait([self = shared_from_this()](const error_code& error) {
            if (!error && !self->handshakeEnded) {
                self->timedOut = true;
                self->socket().close();
            }
        });
        stream.async_handshake(asio::ssl::stream_base::server,
                               [self = shared_from_this()](const error_code& error) { self->handshaken(error); });
    }

private:
    static void countRecords(int writing, int, int contentType, const void*, size_t, SSL*, void* count)
    {
        if (writing && contentType == SSL3_RT_HEADER)
            ++*static_cast<int*>(count);
    }

    void handshaken(const error_code& error)
    {
        handshakeEnded = true;
        timer.cancel();
        if (error) {
            outcome.failure = timedOut ? TlsFailure::timedOut(server.listenerContext->handshakeTimeout())
                                       : TlsFailure::describe(error, stream.native_handle());
            return finish();
        }
        outcome.details = ConnectionDetails::of(stream.native_handle());
        outcome.details.handshakeDuration = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - started);
        readNext();
    }

    void readNext()
    {
        stream.async_read_some(asio::buffer(buffer), [self = shared_from_this()](const error_code& error, size_t size) {
            self->handleRead(error, size);
        });
    }

    void handleRead(const error_code& error, size_t size)
    {
        if (error)
            return ended(ConnectionEnd(error));
        const std::string chunk(buffer, size);
        outcome.received += chunk;
        if (server.mode == Mode::Http)
            return answerHttp();
        if (sendingClosed)
            return readNext();
        if (chunk == "close-sending\n")
            return closeSending();
        if (chunk == "reset\n")
            return reset();
        if (chunk.rfind("write ", 0) == 0)
            return writeRecordsOf(std::strtoul(chunk.c_str() + 6, nullptr, 10));
        write(chunk);
    }

    void write(std::string bytes)
    {
        outgoing = std::move(bytes);
        asio::async_write(stream, asio::buffer(outgoing), [self = shared_from_this()](const error_code& error, size_t) {
            if (error)
                return self->ended(ConnectionEnd(error));
            self->readNext();
        });
    }

    void writeRecordsOf(size_t size)
    {
        recordsWritten = 0;
        outgoing.assign(size, 'x');
        asio::async_write(stream, asio::buffer(outgoing), [self = shared_from_this()](const error_code& error, size_t) {
            self->outcome.writeRecords.push_back(self->recordsWritten);
            if (error)
                return self->ended(ConnectionEnd(error));
            self->readNext();
        });
    }

    void closeSending()
    {
        sendingClosed = true;
        outgoing = CloseNotify::take(stream.native_handle());
        asio::async_write(socket(), asio::buffer(outgoing), [self = shared_from_this()](const error_code& error, size_t) {
            if (error)
                return self->ended(ConnectionEnd(error));
            self->readNext();
        });
    }

    void reset()
    {
        socket().set_option(asio::socket_base::linger(true, 0));
        socket().close();
        outcome.end = "reset by the server";
        finish();
    }

    void answerHttp()
    {
        if (outcome.received.find("\r\n\r\n") == std::string::npos)
            return readNext();
        outgoing = std::string("HTTP/1.1 200 OK\r\nContent-Length: 23\r\nConnection: close\r\n\r\n") + httpBody;
        asio::async_write(stream, asio::buffer(outgoing), [self = shared_from_this()](const error_code& error, size_t) {
            if (error)
                return self->ended(ConnectionEnd(error));
            CloseNotify::stopWaitingForClient(self->stream.native_handle());
            self->stream.async_shutdown([self](const error_code& shutdownError) {
                self->outcome.end = shutdownError ? "shutdown failed: " + shutdownError.message() : "closed by the server";
                self->finish();
            });
        });
    }

    // A client's close_notify is answered with the server's, then the connection closes.
    void ended(const ConnectionEnd& end)
    {
        outcome.end = end.text();
        if (end.kind() != ConnectionEnd::Kind::CloseNotify || sendingClosed)
            return finish();
        outgoing = CloseNotify::take(stream.native_handle());
        asio::async_write(socket(), asio::buffer(outgoing),
                          [self = shared_from_this()](const error_code&, size_t) { self->finish(); });
    }

    void finish()
    {
        error_code ignored;
        socket().close(ignored);
        server.record(outcome);
    }

    TlsTestServer& server;
    asio::ssl::stream<asio::ip::tcp::socket> stream;
    asio::steady_timer timer;
    std::chrono::steady_clock::time_point started;
    bool handshakeEnded = false;
    bool timedOut = false;
    bool sendingClosed = false;
    int recordsWritten = 0;
    char buffer[16384];
    std::string outgoing;
    Outcome outcome;
};

TlsTestServer::TlsTestServer(std::shared_ptr<ListenerContext> context, Mode mode)
    : listenerContext(std::move(context))
    , mode(mode)
{
    const asio::ip::tcp::endpoint loopback(asio::ip::make_address("127.0.0.1"), 0);
    acceptor.open(loopback.protocol());
    acceptor.bind(loopback);
    acceptor.listen();
    boundPort = acceptor.local_endpoint().port();
    acceptNext();
    thread = std::thread([this] { io.run(); });
}

TlsTestServer::~TlsTestServer()
{
    io.stop();
    thread.join();
}

void TlsTestServer::acceptNext()
{
    auto connection = std::make_shared<Connection>(*this);
    acceptor.async_accept(connection->socket(), [this, connection](const error_code& error) {
        if (error)
            return;
        connection->start();
        acceptNext();
    });
}

void TlsTestServer::record(const Outcome& outcome)
{
    std::lock_guard<std::mutex> lock(mutex);
    ended.push_back(outcome);
    changed.notify_all();
}

bool TlsTestServer::waitForOutcomes(std::size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return ended.size() >= count; });
}

std::vector<TlsTestServer::Outcome> TlsTestServer::outcomes()
{
    std::lock_guard<std::mutex> lock(mutex);
    return ended;
}
