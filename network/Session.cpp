#include "Session.h"

#include "Log.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <exception>
#include <sstream>

namespace asio = boost::asio;

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

void Session::recordEndpoint()
{
    boost::system::error_code error;
    const auto endpoint = socket.remote_endpoint(error);
    if (error) {
        endpointText = "unknown";
        return;
    }
    std::ostringstream text;
    text << endpoint.address().to_string() << ":" << endpoint.port();
    endpointText = text.str();
}

void Session::start()
{
    asio::post(strand, [self = shared_from_this()] { self->readNext(); });
}

void Session::readNext()
{
    if (readEnded)
        return;
    socket.async_read_some(asio::buffer(data, maxChunkSize),
                           [self = shared_from_this()](const boost::system::error_code& error,
                                                       std::size_t bytesRead) {
                               self->handleRead(error, bytesRead);
                           });
}

void Session::handleRead(const boost::system::error_code& error, std::size_t bytesRead)
{
    if (error) {
        readEnded = true;
        readSignal(std::string());
        return;
    }

    Log::line("got ", bytesRead, " bytes.");
    // A listener that throws must not end this connection's read loop, nor the IO thread.
    try {
        readSignal(std::string(data, bytesRead));
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

void Session::send(std::string text)
{
    asio::post(strand, [self = shared_from_this(), text = std::move(text)]() mutable {
        self->outgoing.push_back(std::move(text));
        if (self->outgoing.size() == 1)
            self->writeNext();
    });
}

// One write at a time: concurrent writes of large texts would interleave their bytes.
void Session::writeNext()
{
    asio::async_write(socket, asio::buffer(outgoing.front()),
                      [self = shared_from_this()](const boost::system::error_code& error,
                                                  std::size_t bytesWritten) {
                          self->sendDone(error, bytesWritten);
                      });
}

void Session::sendDone(const boost::system::error_code&, std::size_t)
{
    Log::line("sendDone.");
    outgoing.pop_front();
    if (!outgoing.empty())
        writeNext();
}

void Session::close()
{
    readSignal.disconnect_all_slots();
    asio::post(strand, [self = shared_from_this()] {
        boost::system::error_code ignored;
        self->socket.close(ignored);
    });
}

std::string Session::getEndpointString() const
{
    return endpointText;
}
