#include "Session.h"

#include "EndedSessions.h"
#include "EndpointText.h"
#include "ListenerContext.h"
#include "Log.h"
#include "RaceDetectorHandOff.h"
#include "TlsChannel.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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
    , pieceTimer(strand)
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
        if (sendRefusal.empty())
            sendRefusal = "the TLS handshake failed";
        releaseSocket();
    }
    if (started)
        reportHandshake();
}

// Strand only, once started and the handshake ended: how it went comes
// before anything else the connection reports.
void Session::reportHandshake()
{
    handshakeReported = true;
    if (!tls->failure().empty()) {
        reportEvent(Event::TlsFailed, tls->failure());
        readEnded = true;
        readSignal(std::string());
    } else {
        reportEvent(Event::TlsEstablished, TlsChannel::summary(*tls->details()));
        readNext();
    }
    pump();
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
        tls->readSome(data, [self = shared_from_this()](const boost::system::error_code& error, std::size_t size) {
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

void Session::handleRead(const boost::system::error_code& error, std::size_t bytesRead)
{
    if (error) {
        endReading(error);
        return;
    }

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

    if (readPaused.load()) {
        readParked = true;
        return;
    }
    readNext();
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
    if (!readEndedByPeer || !sendRefusal.empty())
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

Session::FileHandle::FileHandle(FileHandle&& other) noexcept
    : fd(other.fd)
{
    other.fd = -1;
}

Session::FileHandle::~FileHandle()
{
    if (fd >= 0)
        ::close(fd);
}

std::uint64_t Session::send(std::string text)
{
    const std::uint64_t id = ++lastSendId;
    Outgoing item{Outgoing::Kind::Bytes, id};
    item.data = std::move(text);
    enqueue(std::move(item));
    return id;
}

std::uint64_t Session::sendInPieces(std::string bytes, std::size_t pieceSize, std::chrono::milliseconds delay)
{
    if (pieceSize == 0)
        return 0;
    const std::uint64_t id = ++lastSendId;
    Outgoing item{Outgoing::Kind::Pieces, id};
    item.data = std::move(bytes);
    item.pieceSize = pieceSize;
    item.delay = std::max(delay, std::chrono::milliseconds(0));
    enqueue(std::move(item));
    return id;
}

std::uint64_t Session::sendFile(std::string header, const std::string& path, std::uint64_t sizeLimit)
{
    const std::uint64_t id = ++lastSendId;
    Outgoing item{Outgoing::Kind::File, id};
    item.data = std::move(header);
    item.path = path;
    item.sizeLimit = sizeLimit;
    enqueue(std::move(item));
    return id;
}

void Session::closeSending()
{
    sendingEnded.store(true);
    enqueue(Outgoing{Outgoing::Kind::CloseSending, 0});
}

void Session::resetConnection()
{
    sendingEnded.store(true);
    asio::post(strand, [self = shared_from_this()] { self->abortConnection(); });
}

void Session::enqueue(Outgoing item)
{
    asio::post(strand, [self = shared_from_this(), item = std::move(item)]() mutable {
        self->outgoing.push_back(std::move(item));
        self->pump();
    });
}

// Strand only. Starts queued sends one after the other until one has to wait
// for a write or a pause: writes of large texts at the same time would
// interleave their bytes.
void Session::pump()
{
    // A TLS connection writes once its handshake is over and told.
    if (tls && !handshakeReported && sendRefusal.empty())
        return;
    while (!outgoing.empty() && !frontBusy) {
        if (!sendRefusal.empty())
            finishFront(sendRefusal);
        else
            startFront();
    }
}

void Session::startFront()
{
    Outgoing& item = outgoing.front();
    switch (item.kind) {
    case Outgoing::Kind::Bytes:
        writeFront(item.data.data(), item.data.size());
        break;
    case Outgoing::Kind::Pieces:
        writeNextPiece();
        break;
    case Outgoing::Kind::File:
        if (!openFrontFile())
            return;
        if (item.data.empty())
            sendNextFileBlock();
        else
            writeFront(item.data.data(), item.data.size());
        break;
    case Outgoing::Kind::CloseSending:
        if (tls)
            sendCloseNotify();
        else
            shutDownSending();
        break;
    }
}

void Session::writeFront(const char* bytes, std::size_t size)
{
    frontBusy = true;
    auto written = [self = shared_from_this()](const boost::system::error_code& error, std::size_t count) {
        self->frontWritten(error, count);
    };
    if (tls)
        tls->write(bytes, size, std::move(written));
    else
        asio::async_write(socket, asio::buffer(bytes, size), std::move(written));
}

void Session::frontWritten(const boost::system::error_code& error, std::size_t written)
{
    frontBusy = false;
    Outgoing& item = outgoing.front();
    if (written > 0)
        reportWritten(item, written);
    if (error || !sendRefusal.empty()) {
        // The client has ended its sending and cannot take more either.
        if (error && readEndedByPeer)
            releaseSocket();
        finishFront(sendRefusal.empty() ? error.message() : sendRefusal);
        pump();
        return;
    }
    switch (item.kind) {
    case Outgoing::Kind::Pieces:
        item.position += written;
        if (item.position >= item.data.size()) {
            finishFront(std::string());
        } else if (item.delay.count() > 0) {
            frontBusy = true;
            pieceTimer.expires_after(item.delay);
            pieceTimer.async_wait([self = shared_from_this()](const boost::system::error_code& waitError) {
                self->pieceDelayOver(waitError);
            });
        } else {
            writeNextPiece();
        }
        break;
    case Outgoing::Kind::File:
        sendNextFileBlock();
        break;
    default:
        finishFront(std::string());
        break;
    }
    pump();
}

void Session::writeNextPiece()
{
    Outgoing& item = outgoing.front();
    const std::size_t size = std::min<std::uint64_t>(item.pieceSize, item.data.size() - item.position);
    writeFront(item.data.data() + item.position, size);
}

void Session::pieceDelayOver(const boost::system::error_code& error)
{
    frontBusy = false;
    if (error || !sendRefusal.empty())
        finishFront(sendRefusal.empty() ? error.message() : sendRefusal);
    else
        writeNextPiece();
    pump();
}

// Non-blocking, so that a named pipe cannot hold up the IO thread.
bool Session::openFrontFile()
{
    Outgoing& item = outgoing.front();
    item.file.fd = ::open(item.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (item.file.fd < 0) {
        finishFront(std::strerror(errno));
        return false;
    }
    return true;
}

// One block is read while none is being written: the file is never held in
// memory beyond the block that is going out.
void Session::sendNextFileBlock()
{
    Outgoing& item = outgoing.front();
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(fileBlockSize, item.sizeLimit - item.position));
    if (wanted == 0) {
        finishFront(std::string());
        return;
    }
    item.data.resize(wanted);
    ssize_t count;
    do {
        count = ::pread(item.file.fd, &item.data[0], wanted, static_cast<off_t>(item.position));
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        finishFront(std::strerror(errno));
        return;
    }
    if (count == 0) {
        finishFront(std::string());
        return;
    }
    item.data.resize(static_cast<std::size_t>(count));
    item.position += static_cast<std::uint64_t>(count);
    writeFront(item.data.data(), item.data.size());
}

// Over TLS the end of this side's sending is close_notify, then the TCP
// FIN; the client's close_notify is not waited for, so that what it still
// sends is read.
void Session::sendCloseNotify()
{
    Outgoing& item = outgoing.front();
    item.data = tls->takeCloseNotify();
    if (item.data.empty()) {
        shutDownSending();
        return;
    }
    frontBusy = true;
    asio::async_write(socket, asio::buffer(item.data),
                      [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                          self->frontBusy = false;
                          if (!self->sendRefusal.empty())
                              self->finishFront(self->sendRefusal);
                          else if (error)
                              Log::line("sending close_notify failed: ", error.message());
                          if (self->sendRefusal.empty())
                              self->shutDownSending();
                          self->pump();
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
    sendRefusal = "sending was closed";
    finishFront(std::string());
    reportEvent(Event::SendingClosed, error ? error.message() : std::string());
    // Nothing can pass either way any more.
    if (readEndedByPeer)
        releaseSocket();
}

// Strand only. The socket closes with a zero linger time, so the kernel
// drops what it still holds and answers the client with a reset.
void Session::abortConnection()
{
    if (sendRefusal == connectionResetReason)
        return;
    sendRefusal = connectionResetReason;
    if (socket.is_open()) {
        boost::system::error_code ignored;
        socket.set_option(asio::socket_base::linger(true, 0), ignored);
    }
    releaseSocket();
    pieceTimer.cancel();
    Log::line("connection reset.");
    reportEvent(Event::ResetByServer, std::string());
    // A parked read has no wait to be cancelled: its end is reported here.
    if (readParked) {
        readParked = false;
        endReading(asio::error::operation_aborted);
    }
    pump();
}

// Strand only: logs and reports how the front send ended, and drops it.
void Session::finishFront(const std::string& error)
{
    const Outgoing::Kind kind = outgoing.front().kind;
    const std::uint64_t id = outgoing.front().id;
    outgoing.pop_front();
    if (kind == Outgoing::Kind::CloseSending)
        return;
    if (error.empty())
        Log::line("sendDone.");
    else
        Log::line("send failed: ", error);
    reportSendResult(id, error);
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

// A whole reply or file block is passed as it is; only a piece, or the part
// of a write that went out before it failed, is copied.
void Session::reportWritten(const Outgoing& item, std::size_t written)
{
    const std::size_t start = item.kind == Outgoing::Kind::Pieces ? static_cast<std::size_t>(item.position) : 0;
    if (start == 0 && written == item.data.size())
        reportSentData(item.id, item.data);
    else
        reportSentData(item.id, item.data.substr(start, written));
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
        self->pieceTimer.cancel();
    });
}

std::string Session::getEndpointString() const
{
    return endpointText;
}
