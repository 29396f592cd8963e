#include "ProtocolBase.h"

#include <boost/bind/bind.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace
{
// The size of the readable regular file at path, or false with the reason.
bool readableFileSize(const std::string& path, std::uint64_t& size, std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat status {};
    const bool statted = ::fstat(fd, &status) == 0;
    error = statted ? "" : std::strerror(errno);
    ::close(fd);
    if (statted && !S_ISREG(status.st_mode))
        error = "not a regular file";
    size = static_cast<std::uint64_t>(status.st_size);
    return error.empty();
}
}

ProtocolBase::ProtocolBase(boost::shared_ptr<Session> session)
    : session(std::move(session))
{
}

ProtocolBase::~ProtocolBase()
{
    ProtocolBase::close();
}

void ProtocolBase::subscribeToSession()
{
    using Slot = boost::signals2::signal<void(const std::string&)>::slot_type;
    session->readSignal.connect(
        Slot(&ProtocolBase::readHandler, this, boost::placeholders::_1).track(shared_from_this()));
    using ResultSlot = boost::signals2::signal<void(std::uint64_t, const std::string&)>::slot_type;
    session->sendResultSignal.connect(
        ResultSlot(&ProtocolBase::onSendResult, this, boost::placeholders::_1, boost::placeholders::_2)
            .track(shared_from_this()));
    session->sentDataSignal.connect(
        ResultSlot(&ProtocolBase::onSentData, this, boost::placeholders::_1, boost::placeholders::_2)
            .track(shared_from_this()));
    using EventSlot = boost::signals2::signal<void(Session::Event, const std::string&)>::slot_type;
    session->eventSignal.connect(
        EventSlot(&ProtocolBase::onEvent, this, boost::placeholders::_1, boost::placeholders::_2)
            .track(shared_from_this()));
}

void ProtocolBase::onEvent(Session::Event event, const std::string& detail)
{
    eventSignal(event, detail);
}

void ProtocolBase::onSentData(std::uint64_t id, const std::string& bytes)
{
    sentDataSignal(id, bytes);
}

void ProtocolBase::onSendResult(std::uint64_t id, const std::string& error)
{
    sendResultSignal(id, error);
}

void ProtocolBase::close()
{
    session->close();
}

void ProtocolBase::start()
{
    session->start();
}

std::string ProtocolBase::frame(std::string body)
{
    return body;
}

std::uint64_t ProtocolBase::sendFramed(std::string bytes)
{
    const std::uint64_t id = session->send(std::move(bytes));
    responseQueued();
    return id;
}

std::uint64_t ProtocolBase::sendInPieces(std::string body, std::size_t pieceSize, std::chrono::milliseconds delay)
{
    return pieceSize == 0 ? 0 : sendFramedInPieces(frame(std::move(body)), pieceSize, delay);
}

std::uint64_t ProtocolBase::sendFramedInPieces(std::string bytes, std::size_t pieceSize,
                                               std::chrono::milliseconds delay)
{
    if (pieceSize == 0)
        return 0;
    const std::uint64_t id = session->sendInPieces(std::move(bytes), pieceSize, delay);
    responseQueued();
    return id;
}

std::uint64_t ProtocolBase::sendFile(const std::string& path, std::string& error, FileSendInfo* info)
{
    std::uint64_t size = 0;
    if (!readableFileSize(path, size, error))
        return 0;
    std::string header = frameHeader(size);
    if (info)
        *info = FileSendInfo{size, header.size()};
    const std::uint64_t id = session->sendFile(std::move(header), path, size);
    responseQueued();
    return id;
}

std::string ProtocolBase::frameHeader(std::uint64_t)
{
    return std::string();
}

void ProtocolBase::responseQueued()
{
}

void ProtocolBase::closeSending()
{
    session->closeSending();
}

void ProtocolBase::resetConnection()
{
    session->resetConnection();
}

std::string ProtocolBase::send(std::string data)
{
    std::string framed = frame(std::move(data));
    sendFramed(framed);
    return framed;
}

bool ProtocolBase::canSend() const
{
    return session->canSend();
}

void ProtocolBase::setAttributes(AttributeList)
{
}

std::string ProtocolBase::getEndpointString()
{
    return session->getEndpointString();
}

const Session::Executor& ProtocolBase::getExecutor() const
{
    return session->getExecutor();
}

BoundEndpoint ProtocolBase::getListenerEndpoint() const
{
    return session->getListenerEndpoint();
}

bool ProtocolBase::usesTls() const
{
    return session->usesTls();
}

std::shared_ptr<const ConnectionDetails> ProtocolBase::getTlsDetails() const
{
    return session->tlsDetails();
}

boost::asio::ip::tcp::endpoint ProtocolBase::getClientEndpoint() const
{
    return session->getClientEndpoint();
}

boost::asio::ip::tcp::endpoint ProtocolBase::getLocalEndpoint() const
{
    return session->getLocalEndpoint();
}

void ProtocolBase::pauseReading()
{
    session->pauseReading();
}

void ProtocolBase::resumeReading()
{
    session->resumeReading();
}
