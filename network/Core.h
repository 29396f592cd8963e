#pragma once

#include "GlobalConfig.h"
#include "ProtocolBase.h"
#include "ProtocolFactory.h"
#include "Server.h"

#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>

// The one object through which the desktop side reaches the network: starts
// and stops listening, holds the configuration and turns every accepted
// Session into a protocol object announced on newProtocolSignal.
class Core
{
public:
    Core();

    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    void startListening();
    void stopListening();
    void shutdown();

    unsigned int getListenPort() const;
    void setListenPort(unsigned int port);
    unsigned int getNumberOfThreads() const;
    void setNumberOfThreads(unsigned int count);
    ProtocolFactory::ProtocolType getProtocolType() const;
    void setProtocolType(ProtocolFactory::ProtocolType type);

    // The port actually bound, or 0 when not listening (port 0 lets the system pick).
    unsigned short getBoundPort();

    void createProtocol(boost::shared_ptr<Session> session);

    boost::signals2::signal<void(boost::shared_ptr<ProtocolBase>)> newProtocolSignal;
    // Server::acceptingPausedSignal, passed on: emitted on an IO thread.
    boost::signals2::signal<void(bool paused)> acceptingPausedSignal;

private:
    boost::shared_ptr<GlobalConfig> config;
    boost::shared_ptr<Server> server;
};
