#include "ProtocolBase.h"

#include "Session.h"

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
    using Slot = boost::signals2::signal<void(std::string)>::slot_type;
    // A lambda rather than boost::bind: bind's member-function wrapper takes
    // the chunk by value and passes it on as an lvalue, one more copy of every
    // chunk (up to Session::maxChunkSize bytes) on top of the two the signal
    // itself makes.
    session->readSignal.connect(
        Slot([this](std::string data) { readHandler(std::move(data)); }).track(shared_from_this()));
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
