#include "ProtocolBase.h"

#include "Session.h"

#include <boost/bind/bind.hpp>

#include <utility>

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
    return session->send(std::move(bytes));
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

void ProtocolBase::pauseReading()
{
    session->pauseReading();
}

void ProtocolBase::resumeReading()
{
    session->resumeReading();
}
