#include "TlsTestServer.h"

#include "CloseNotify.h"
#include "ConnectionEnd.h"
#include "TlsFailure.h"

#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <cstdlib>
#include <functional>

namespace asio = boost::asio;
using boost::system::error_code;

class TlsTestServer::Connection : public std::enable_shared_from_this<Connection>
{
public:
    explicit Connection(TlsTestServer& server)
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
        const auto started = std::chrono::steady_clock::now();
        timer.expires_after(server.listenerContext->handshakeTimeout());
        timer.async_wait([self = shared_from_this()](const error_code& error) {
            self->timedOut = !error && !self->handshakeEnded;
            if (self->timedOut)
                self->socket().close();
        });
        stream.async_handshake(asio::ssl::stream_base::server, [self = shared_from_this(), started](error_code error) {
            self->handshakeEnded = true;
            self->timer.cancel();
            if (error)
                return self->handshakeFailed(error);
            self->outcome.details = ConnectionDetails::of(self->stream.native_handle());
            self->outcome.details.handshakeDuration
                = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
            self->readNext();
        });
    }

private:
    void handshakeFailed(const error_code& error)
    {
        const auto limit = server.listenerContext->handshakeTimeout();
        outcome.failure = timedOut ? TlsFailure::timedOut(limit) : TlsFailure::describe(error, stream.native_handle());
        finish();
    }

    static void countRecords(int writing, int, int contentType, const void*, size_t, SSL*, void* count)
    {
        if (writing && contentType == SSL3_RT_HEADER)
            ++*static_cast<int*>(count);
    }

    void readNext()
    {
        stream.async_read_some(asio::buffer(buffer), [self = shared_from_this()](error_code error, size_t size) {
            if (error)
                return self->ended(ConnectionEnd(error));
            self->handle(std::string(self->buffer, size));
        });
    }

    void handle(const std::string& chunk)
    {
        outcome.received += chunk;
        if (sendingClosed)
            return readNext();
        if (chunk.rfind("GET ", 0) == 0)
            return send(std::string("HTTP/1.0 200 OK\r\n\r\n") + httpBody, [this] { closeAfterResponse(); });
        if (chunk == "close-sending\n") {
            sendingClosed = true;
            return sendRaw(CloseNotify::take(stream.native_handle()), [this] { readNext(); });
        }
        if (chunk == "reset\n") {
            socket().set_option(asio::socket_base::linger(true, 0));
            outcome.end = "reset by the server";
            return finish();
        }
        if (chunk.rfind("write ", 0) != 0)
            return send(chunk, [this] { readNext(); });
        recordsWritten = 0;
        send(std::string(std::strtoul(chunk.c_str() + 6, nullptr, 10), 'x'), [this] {
            outcome.writeRecords.push_back(recordsWritten);
            readNext();
        });
    }

    void send(std::string bytes, std::function<void()> next)
    {
        outgoing = std::move(bytes);
        asio::async_write(stream, asio::buffer(outgoing), [self = shared_from_this(), next](error_code error, size_t) {
            error ? self->ended(ConnectionEnd(error)) : next();
        });
    }

    // Straight to the socket, past the TLS layer.
    void sendRaw(std::string bytes, std::function<void()> next)
    {
        outgoing = std::move(bytes);
        auto self = shared_from_this();
        asio::async_write(socket(), asio::buffer(outgoing), [self, next](error_code error, size_t) {
            error ? self->ended(ConnectionEnd(error)) : next();
        });
    }

    void closeAfterResponse()
    {
        CloseNotify::stopWaitingForClient(stream.native_handle());
        stream.async_shutdown([self = shared_from_this()](error_code error) {
            self->outcome.end = error ? "shutdown failed: " + error.message() : "closed by the server";
            self->finish();
        });
    }

    // A client's close_notify is answered with the server's.
    void ended(const ConnectionEnd& end)
    {
        outcome.end = end.text();
        if (end.kind() == ConnectionEnd::Kind::CloseNotify && !sendingClosed)
            return sendRaw(CloseNotify::take(stream.native_handle()), [this] { finish(); });
        finish();
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
    bool handshakeEnded = false;
    bool timedOut = false;
    bool sendingClosed = false;
    int recordsWritten = 0;
    char buffer[16384];
    std::string outgoing;
    Outcome outcome;
};

TlsTestServer::TlsTestServer(std::shared_ptr<ListenerContext> context)
    : listenerContext(std::move(context))
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

TlsTestServer::Outcome TlsTestServer::waitForOutcome(std::size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!changed.wait_for(lock, timeout, [&] { return ended.size() >= count; }))
        return {"no outcome", {}, {}, {}, {}};
    return ended[count - 1];
}

std::size_t TlsTestServer::outcomeCount()
{
    std::lock_guard<std::mutex> lock(mutex);
    return ended.size();
}
