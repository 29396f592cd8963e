#include "Session.h"

#include "EndedSessions.h"
#include "EndpointText.h"
#include "ListenerContext.h"
#include "Log.h"
#include "RaceDetectorHandOff.h"
#include "TlsChannel.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <exception>
#include <string>

namespace asio = boost::asio;

namespace
{
const std::string connectionResetReason = "connection reset by the server";
}

boost::shared_ptr<Session> Session::getInstance(asio::io_context& ioService,
                                                std::shared_ptr<EndedSessions> endedSessions)
{
    return boost::shared_ptr<Session>(new Session(ioService, std::move(endedSessions)));
}

// The socket runs on the strand: every completion handler of this Session is
// serialised with the operations that the GUI thread posts onto it.
Session::Session(asio::io_context& ioService, std::shared_ptr<EndedSessions> endedSessions)
    : strand(asio::make_strand(ioService))
    , socket(strand)
    , endedSessions(std::move(endedSessions))
    , sendQueue(strand, queueConnection())
{
    Log::line("Session created...");
}

Session::~Session()
{
    leaveEndedSessions();
    Log::line("Destroying session ...");
}

asio::ip::tcp::socket& Session::getSocket()
{
    return socket;
}

asio::ip::tcp::endpoint& Session::getAcceptedEndpoint()
{
    return acceptedEndpoint;
}

// The address comes with the accept itself, so it is known even for a client
// that reset at once; the socket is asked only if the accept left it empty.
void Session::recordEndpoint()
{
    acceptedAt = std::chrono::steady_clock::now();
    boost::system::error_code localError;
    localEndpoint = socket.local_endpoint(localError);
    if (acceptedEndpoint.port() != 0) {
        endpointText = EndpointText::of(acceptedEndpoint);
        return;
    }
    boost::system::error_code error;
    const auto endpoint = socket.remote_endpoint(error);
    endpointText = error ? "unknown" : EndpointText::of(endpoint);
}

void Session::setListenerEndpoint(BoundEndpoint listener)
{
    listenerEndpoint = std::move(listener);
}

const BoundEndpoint& Session::getListenerEndpoint() const
{
    return listenerEndpoint;
}

void Session::useTls(std::shared_ptr<ListenerContext> context)
{
    tls = std::make_unique<TlsChannel>(socket, std::move(context));
    asio::post(strand, [self = shared_from_this()] {
        self->sendQueue.hold();
        self->tls->handshake(self->acceptedAt, [self] { self->handshakeEnded(); });
    });
}

std::shared_ptr<const ConnectionDetails> Session::tlsDetails() const
{
    return tls ? tls->details() : nullptr;
}

// Strand only. A failed handshake leaves nothing to talk to: the descriptor
// goes back at once, and sends fail.
void Session::handshakeEnded()
{
    if (tls->failure().empty()) {
        Log::line("TLS handshake with ", endpointText, ": ", TlsChannel::summary(*tls->details()));
    } else {
        Log::line("TLS handshake with ", endpointText, " failed: ", tls->failure());
        if (sendQueue.refusal().empty())
            sendQueue.refuse("the TLS handshake failed");
        releaseSocket();
    }
    if (started)
        reportHandshake();
}

// Strand only, once started and the handshake ended: how it went comes
// before anything else the connection reports.
void Session::reportHandshake()
{
    if (!tls->failure().empty()) {
        reportEvent(Event::TlsFailed, tls->failure());
        readEnded = true;
        readSignal(std::string());
    } else {
        reportEvent(Event::TlsEstablished, TlsChannel::summary(*tls->details()));
        readNext();
    }
    sendQueue.release();
}

void Session::start()
{
    asio::post(strand, [self = shared_from_this()] {
        RaceDetectorHandOff::takenOver(self.get());
        self->started = true;
        if (self->tls) {
            if (self->tls->handshakeFinished())
                self->reportHandshake();
            return;
        }
        // Fails only for a socket that is already closed; reading then ends
        // like any other read error.
        boost::system::error_code error;
        self->socket.non_blocking(true, error);
        if (error) {
            self->endReading(error);
            return;
        }
        self->readNext();
    });
}

// A read waits for the socket to become readable first and only then sizes
// the buffer and takes what is there, so no buffer is held while waiting.
// (Asio re-arms the descriptor for every wait, so bytes that arrived earlier
// complete it at once.)
void Session::readNext()
{
    if (readEnded)
        return;
    if (tls) {
        tls->readChunk(data, [self = shared_from_this()](const boost::system::error_code& error, std::size_t size) {
            self->handleRead(error, size);
        });
        return;
    }
    socket.async_wait(asio::ip::tcp::socket::wait_read,
                      [self = shared_from_this()](const boost::system::error_code& error) {
                          self->handleReadable(error);
                      });
}

void Session::handleReadable(const boost::system::error_code& error)
{
    if (error) {
        endReading(error);
        return;
    }
    boost::system::error_code readError;
    const std::size_t bytesRead = readWaitingBytes(readError);
    if (readError == asio::error::would_block || readError == asio::error::try_again) {
        readNext(); // woken with nothing to read after all
        return;
    }
    handleRead(readError, bytesRead);
}

// Non-blocking: the socket was put in non-blocking mode by start(). At least
// one byte is asked for, so that the end of the stream or a reset shows.
std::size_t Session::readWaitingBytes(boost::system::error_code& error)
{
    boost::system::error_code ignored;
    const std::size_t waiting = socket.available(ignored);
    data.resize(std::clamp<std::size_t>(waiting, 1, maxChunkSize));
    return socket.read_some(asio::buffer(&data[0], data.size()), error);
}

// A TLS read may bring bytes and the error that ended it at once.
void Session::handleRead(const boost::system::error_code& error, std::size_t bytesRead)
{
    if (bytesRead > 0)
        deliver(bytesRead);
    if (error) {
        endReading(error);
        return;
    }
    if (readPaused.load()) {
        readParked = true;
        return;
    }
    readNext();
}

void Session::deliver(std::size_t bytesRead)
{
    Log::line("got ", bytesRead, " bytes.");
    data.resize(bytesRead);
    // A listener that throws must not end this connection's read loop, nor the IO thread.
    try {
        readSignal(data);
    } catch (const std::exception& e) {
        Log::line("read listener failed: ", e.what());
    } catch (...) {
        Log::line("read listener failed with an unknown exception");
    }
}

void Session::endReading(const boost::system::error_code& error)
{
    readEnded = true;
    std::string detail;
    if (tls)
        detail = TlsChannel::endOfReading(error, readEndedByPeer);
    else
        readEndedByPeer = error == asio::error::eof;
    if (!tls && !readEndedByPeer)
        detail = error.message();
    // Also when the sending side was closed before: nothing can pass any more.
    if (!readEndedByPeer || !sendQueue.refusal().empty())
        releaseSocket();
    else
        enterEndedSessions();
    reportEvent(readEndedByPeer ? Event::ReadEndedByPeer : Event::ReadFailed, detail);
    readSignal(std::string());
}

// Strand only. Nothing can pass any more: the descriptor goes back at once.
// Sends queued later fail and are reported as such.
void Session::releaseSocket()
{
    leaveEndedSessions();
    socketUsable.store(false);
    boost::system::error_code ignored;
    socket.close(ignored);
}

// Strand only.
void Session::enterEndedSessions()
{
    if (endedSessions && endedTicket == 0 && socket.is_open())
        endedTicket = endedSessions->enter(weak_from_this());
}

// Strand only, or from the destructor.
void Session::leaveEndedSessions()
{
    if (endedSessions && endedTicket != 0)
        endedSessions->leave(endedTicket);
    endedTicket = 0;
}

void Session::releaseForNewClients()
{
    asio::post(strand, [self = shared_from_this()] {
        if (self->readEndedByPeer && self->socket.is_open()) {
            self->releaseSocket();
            Log::line("Released the socket of ", self->endpointText, " for new clients: its client had ended.");
            self->reportEvent(Event::ReleasedForNewClients, std::string());
        }
        if (self->endedSessions)
            self->endedSessions->releaseDone();
    });
}

bool Session::canSend() const
{
    return socketUsable.load() && !sendingEnded.load();
}

void Session::pauseReading()
{
    readPaused.store(true);
}

void Session::resumeReading()
{
    readPaused.store(false);
    asio::post(strand, [self = shared_from_this()] {
        if (self->readParked && !self->readPaused.load()) {
            self->readParked = false;
            self->readNext();
        }
    });
}

std::uint64_t Session::send(std::string text)
{
    SendQueue::Item item;
    item.id = ++lastSendId;
    item.data = std::move(text);
    const std::uint64_t id = item.id;
    enqueue(std::move(item));
    return id;
}

std::uint64_t Session::sendInPieces(std::string bytes, std::size_t pieceSize, std::chrono::milliseconds delay)
{
    if (pieceSize == 0)
        return 0;
    SendQueue::Item item;
    item.kind = SendQueue::Item::Kind::Pieces;
    item.id = ++lastSendId;
    item.data = std::move(bytes);
    item.pieceSize = pieceSize;
    item.delay = std::max(delay, std::chrono::milliseconds(0));
    const std::uint64_t id = item.id;
    enqueue(std::move(item));
    return id;
}

std::uint64_t Session::sendFile(std::string header, const std::string& path, std::uint64_t sizeLimit)
{
    SendQueue::Item item;
    item.kind = SendQueue::Item::Kind::File;
    item.id = ++lastSendId;
    item.data = std::move(header);
    item.path = path;
    item.sizeLimit = sizeLimit;
    const std::uint64_t id = item.id;
    enqueue(std::move(item));
    return id;
}

void Session::closeSending()
{
    sendingEnded.store(true);
    SendQueue::Item item;
    item.kind = SendQueue::Item::Kind::CloseSending;
    enqueue(std::move(item));
}

void Session::resetConnection()
{
    sendingEnded.store(true);
    asio::post(strand, [self = shared_from_this()] { self->abortConnection(); });
}

void Session::enqueue(SendQueue::Item item)
{
    asio::post(strand, [self = shared_from_this(), item = std::move(item)]() mutable {
        self->sendQueue.add(std::move(item));
    });
}

// What the queue asks of this connection runs on the strand, inside this
// Session's own handlers: the Session outlives every call.
SendQueue::Connection Session::queueConnection()
{
    SendQueue::Connection connection;
    connection.write = [this](const char* bytes, std::size_t size, SendQueue::WriteDone done) {
        write(bytes, size, std::move(done));
    };
    connection.endSending = [this](std::function<void()> done) { endSending(std::move(done)); };
    connection.written = [this](std::uint64_t id, const std::string& bytes) { reportSentData(id, bytes); };
    connection.finished = [this](std::uint64_t id, const std::string& error) { reportSendResult(id, error); };
    // The client has ended its sending and cannot take more either.
    connection.writeFailed = [this](const boost::system::error_code&) {
        if (readEndedByPeer)
            releaseSocket();
    };
    connection.owner = [this]() -> boost::shared_ptr<void> { return shared_from_this(); };
    return connection;
}

void Session::write(const char* bytes, std::size_t size, SendQueue::WriteDone done)
{
    auto written = [self = shared_from_this(), done = std::move(done)](const boost::system::error_code& error,
                                                                       std::size_t count) { done(error, count); };
    if (tls)
        tls->write(bytes, size, std::move(written));
    else
        asio::async_write(socket, asio::buffer(bytes, size), std::move(written));
}

// A closeSending's turn. Over TLS the end of this side's sending is
// close_notify, then the TCP FIN; the client's close_notify is not waited
// for, so that what it still sends is read.
void Session::endSending(std::function<void()> done)
{
    auto alert = std::make_shared<std::string>(tls ? tls->takeCloseNotify() : std::string());
    if (alert->empty()) {
        shutDownSending();
        done();
        return;
    }
    asio::async_write(socket, asio::buffer(*alert),
                      [self = shared_from_this(), alert, done = std::move(done)](const boost::system::error_code& error,
                                                                                 std::size_t) {
                          if (error)
                              Log::line("sending close_notify failed: ", error.message());
                          // A reset meanwhile has said how the sending ended.
                          if (self->sendQueue.refusal().empty())
                              self->shutDownSending();
                          done();
                      });
}

void Session::shutDownSending()
{
    boost::system::error_code error;
    socket.shutdown(asio::ip::tcp::socket::shutdown_send, error);
    if (error)
        Log::line("closing the sending side failed: ", error.message());
    else
        Log::line("sending closed.");
    sendQueue.refuse("sending was closed");
    reportEvent(Event::SendingClosed, error ? error.message() : std::string());
    // Nothing can pass either way any more.
    if (readEndedByPeer)
        releaseSocket();
}

// Strand only. The socket closes with a zero linger time, so the kernel
// drops what it still holds and answers the client with a reset.
void Session::abortConnection()
{
    if (sendQueue.refusal() == connectionResetReason)
        return;
    if (socket.is_open()) {
        boost::system::error_code ignored;
        socket.set_option(asio::socket_base::linger(true, 0), ignored);
    }
    releaseSocket();
    sendQueue.cancelWaits();
    Log::line("connection reset.");
    reportEvent(Event::ResetByServer, std::string());
    // A parked read has no wait to be cancelled: its end is reported here.
    if (readParked) {
        readParked = false;
        endReading(asio::error::operation_aborted);
    }
    // Queued sends fail after the reset is told.
    sendQueue.refuse(connectionResetReason);
}

// A listener that throws must not stop the queued writes, nor the IO thread.
void Session::reportSendResult(std::uint64_t id, const std::string& error)
{
    try {
        sendResultSignal(id, error);
    } catch (const std::exception& e) {
        Log::line("send result listener failed: ", e.what());
    } catch (...) {
        Log::line("send result listener failed with an unknown exception");
    }
}

void Session::reportSentData(std::uint64_t id, const std::string& bytes)
{
    try {
        sentDataSignal(id, bytes);
    } catch (const std::exception& e) {
        Log::line("sent data listener failed: ", e.what());
    } catch (...) {
        Log::line("sent data listener failed with an unknown exception");
    }
}

void Session::reportEvent(Event event, const std::string& detail)
{
    try {
        eventSignal(event, detail);
    } catch (const std::exception& e) {
        Log::line("event listener failed: ", e.what());
    } catch (...) {
        Log::line("event listener failed with an unknown exception");
    }
}

void Session::close()
{
    readSignal.disconnect_all_slots();
    eventSignal.disconnect_all_slots();
    sendResultSignal.disconnect_all_slots();
    sentDataSignal.disconnect_all_slots();
    socketUsable.store(false);
    asio::post(strand, [self = shared_from_this()] {
        self->leaveEndedSessions();
        boost::system::error_code ignored;
        self->socket.close(ignored);
        self->sendQueue.cancelWaits();
    });
}

std::string Session::getEndpointString() const
{
    return endpointText;
}
