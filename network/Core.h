#pragma once

#include "GlobalConfig.h"
#include "ProtocolBase.h"
#include "ProtocolFactory.h"
#include "Server.h"

#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>

#include <cstddef>
#include <cstdint>
#include <vector>

// The one object through which the desktop side reaches the network: starts
// and stops listening, holds the configuration and turns every accepted
// Session into a protocol object announced on newProtocolSignal.
//
// Where it listens: every port of the port list, on the bind address. The
// first port is "the" listen port of older settings.
class Core
{
public:
    Core();

    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    // Listens on what it can; the result says what is bound and what failed.
    ListenResult startListening();
    // Listens on these places instead of the configured ports and address.
    ListenResult startListening(const std::vector<ListenPlace>& places);
    void stopListening();
    void shutdown();

    // The first port of the list; setting it makes it the only one.
    unsigned int getListenPort() const;
    void setListenPort(unsigned int port);
    std::vector<unsigned int> getListenPorts() const;
    // Plain TCP ports; an empty list is ignored.
    void setListenPorts(const std::vector<unsigned int>& ports);
    // The ports with their TLS marks; an empty list is ignored.
    const std::vector<ListedPort>& getListedPorts() const;
    void setListedPorts(const std::vector<ListedPort>& ports);
    const TlsSetup& getTlsSetup() const;
    void setTlsSetup(const TlsSetup& setup);
    const BindAddress& getBindAddress() const;
    void setBindAddress(const BindAddress& address);
    unsigned int getNumberOfThreads() const;
    void setNumberOfThreads(unsigned int count);
    ProtocolFactory::ProtocolType getProtocolType() const;
    void setProtocolType(ProtocolFactory::ProtocolType type);

    // The first port actually bound, or 0 when not listening (port 0 lets
    // the system pick).
    unsigned short getBoundPort();
    // Every address and port listened on now.
    std::vector<BoundEndpoint> getBoundEndpoints();
    // Connections whose client ended its sending and that still hold their
    // sockets: the first to give them back when descriptors run short.
    std::size_t getEndedConnectionCount();

    void createProtocol(boost::shared_ptr<Session> session);

    boost::signals2::signal<void(boost::shared_ptr<ProtocolBase>)> newProtocolSignal;
    // Server::acceptingPausedSignal, passed on: emitted on an IO thread.
    boost::signals2::signal<void(bool paused, std::uint64_t freeDescriptors, std::uint64_t resumeLevel)>
        acceptingPausedSignal;

private:
    boost::shared_ptr<GlobalConfig> config;
    boost::shared_ptr<Server> server;
};
