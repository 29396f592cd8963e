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
}

void ProtocolBase::close()
{
    session->close();
}

void ProtocolBase::start()
{
    session->start();
}

std::string ProtocolBase::send(std::string data)
{
    session->send(data);
    return data;
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
