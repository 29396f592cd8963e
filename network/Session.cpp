#include "Session.h"

#include "Log.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <charconv>
#include <exception>
#include <string>

namespace asio = boost::asio;

namespace
{
void appendDecimal(std::string& text, unsigned int number)
{
    char digits[12];
    text.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
}

// "address:port", the address in its standard form. IPv4 addresses, the only
// ones the Server accepts, are written here directly: Asio's to_string goes
// through inet_ntop's sprintf, which cost more than the rest of this function
// on every accepted client.
std::string endpointToText(const asio::ip::tcp::endpoint& endpoint)
{
    std::string text;
    const asio::ip::address address = endpoint.address();
    if (address.is_v4()) {
        for (const unsigned char byte : address.to_v4().to_bytes()) {
            if (!text.empty())
                text += '.';
            appendDecimal(text, byte);
        }
    } else {
        text = address.to_string();
    }
    text += ':';
    appendDecimal(text, endpoint.port());
    return text;
}
}

boost::shared_ptr<Session> Session::getInstance(asio::io_context& ioService)
{
    return boost::shared_ptr<Session>(new Session(ioService));
}

// The socket runs on the strand: every completion handler of this Session is
// serialised with the operations that the GUI thread posts onto it.
Session::Session(asio::io_context& ioService)
    : strand(asio::make_strand(ioService))
    , socket(strand)
{
    Log::line("Session created...");
}

Session::~Session()
{
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
    if (acceptedEndpoint.port() != 0) {
        endpointText = endpointToText(acceptedEndpoint);
        return;
    }
    boost::system::error_code error;
    const auto endpoint = socket.remote_endpoint(error);
    endpointText = error ? "unknown" : endpointToText(endpoint);
}

void Session::start()
{
    asio::post(strand, [self = shared_from_this()] {
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
    readEndedByPeer = error == asio::error::eof;
    if (!readEndedByPeer)
        releaseSocket();
    readSignal(std::string());
}

// Strand only. Nothing can pass any more: the descriptor goes back at once.
// Sends queued later fail and are reported as such.
void Session::releaseSocket()
{
    socketUsable.store(false);
    boost::system::error_code ignored;
    socket.close(ignored);
}

bool Session::canSend() const
{
    return socketUsable.load();
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
    const std::uint64_t id = ++lastSendId;
    asio::post(strand, [self = shared_from_this(), id, text = std::move(text)]() mutable {
        self->outgoing.push_back({id, std::move(text)});
        if (self->outgoing.size() == 1)
            self->writeNext();
    });
    return id;
}

// One write at a time: concurrent writes of large texts would interleave their bytes.
void Session::writeNext()
{
    asio::async_write(socket, asio::buffer(outgoing.front().data),
                      [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
                          self->sendDone(error);
                      });
}

void Session::sendDone(const boost::system::error_code& error)
{
    const std::uint64_t id = outgoing.front().id;
    outgoing.pop_front();
    if (error) {
        Log::line("send failed: ", error.message());
        // The client has ended its sending and cannot take more either.
        if (readEndedByPeer)
            releaseSocket();
    } else {
        Log::line("sendDone.");
    }
    reportSendResult(id, error ? error.message() : std::string());
    if (!outgoing.empty())
        writeNext();
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

void Session::close()
{
    readSignal.disconnect_all_slots();
    sendResultSignal.disconnect_all_slots();
    socketUsable.store(false);
    asio::post(strand, [self = shared_from_this()] {
        boost::system::error_code ignored;
        self->socket.close(ignored);
    });
}

std::string Session::getEndpointString() const
{
    return endpointText;
}
