#pragma once

#include "BindAddress.h"
#include "PortList.h"
#include "ProtocolFactory.h"
#include "TlsSetup.h"

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <vector>

// The process-wide configuration of the network side, held in memory only.
class GlobalConfig
{
public:
    static boost::shared_ptr<GlobalConfig> Instance();

    // Read and written on the GUI thread only. A port above 65535 listens
    // on its low 16 bits.
    std::vector<ListedPort> listenPorts{{2222, false}};
    BindAddress bindAddress;
    // How the ports marked for TLS serve their clients.
    TlsSetup tls;
    unsigned int numberOfThreads = 2;
    // Read by the accept handler on an IO thread while the GUI thread may
    // store a new value: every connection gets either the old or the new type.
    std::atomic<ProtocolFactory::ProtocolType> protocolType{ProtocolFactory::PLAIN_TEXT};

private:
    GlobalConfig() = default;

    static boost::shared_ptr<GlobalConfig> config;
};
