#include "Core.h"

#include "Log.h"
#include "PortList.h"
#include "TlsListeners.h"

#include <exception>

Core::Core()
    : config(GlobalConfig::Instance())
    , server(new Server())
{
    // The Server's signal lives no longer than the Server, which this Core owns.
    server->newSessionSignal.connect([this](boost::shared_ptr<Session> session) {
        createProtocol(std::move(session));
    });
    server->acceptingPausedSignal.connect(
        [this](bool paused, std::uint64_t freeDescriptors, std::uint64_t resumeLevel) {
            acceptingPausedSignal(paused, freeDescriptors, resumeLevel);
        });
}

// Ports marked for TLS share one loaded certificate and get a context each;
// when the certificate cannot be used they are refused with the reason.
ListenResult Core::startListening()
{
    Log::line("start Listening...");
    TlsListeners tls(config->tls);
    std::vector<ListenPlace> places;
    std::vector<ListenFailure> refused;
    for (const ListedPort& port : config->listenPorts) {
        if (!port.tls) {
            places.push_back(ListenPlace{config->bindAddress, port.number, nullptr});
            continue;
        }
        if (std::shared_ptr<ListenerContext> context = tls.contextForPort())
            places.push_back(ListenPlace{config->bindAddress, port.number, std::move(context)});
        else
            refused.push_back({BoundEndpoint{config->bindAddress.text(), static_cast<unsigned short>(port.number), true},
                               "TLS: " + tls.problem()});
    }
    ListenResult result = server->startListening(places);
    result.failures.insert(result.failures.end(), refused.begin(), refused.end());
    for (const ListenFailure& failure : refused)
        Log::line("Couldn't listen on port ", failure.endpoint.port, ": ", failure.reason);
    return result;
}

ListenResult Core::startListening(const std::vector<ListenPlace>& places)
{
    Log::line("start Listening...");
    return server->startListening(places);
}

void Core::stopListening()
{
    server->stopListening();
}

void Core::shutdown()
{
    stopListening();
    server->shutDown();
}

unsigned int Core::getListenPort() const
{
    return config->listenPorts.front().number;
}

void Core::setListenPort(unsigned int port)
{
    config->listenPorts = {{port, false}};
}

std::vector<unsigned int> Core::getListenPorts() const
{
    return PortList::numbers(config->listenPorts);
}

void Core::setListenPorts(const std::vector<unsigned int>& ports)
{
    setListedPorts(PortList::plain(ports));
}

const std::vector<ListedPort>& Core::getListedPorts() const
{
    return config->listenPorts;
}

void Core::setListedPorts(const std::vector<ListedPort>& ports)
{
    if (!ports.empty())
        config->listenPorts = ports;
}

const TlsSetup& Core::getTlsSetup() const
{
    return config->tls;
}

void Core::setTlsSetup(const TlsSetup& setup)
{
    config->tls = setup;
}

const BindAddress& Core::getBindAddress() const
{
    return config->bindAddress;
}

void Core::setBindAddress(const BindAddress& address)
{
    config->bindAddress = address;
}

unsigned int Core::getNumberOfThreads() const
{
    return config->numberOfThreads;
}

void Core::setNumberOfThreads(unsigned int count)
{
    config->numberOfThreads = count;
}

ProtocolFactory::ProtocolType Core::getProtocolType() const
{
    return config->protocolType.load();
}

void Core::setProtocolType(ProtocolFactory::ProtocolType type)
{
    config->protocolType.store(type);
}

unsigned short Core::getBoundPort()
{
    return server->getBoundPort();
}

std::vector<BoundEndpoint> Core::getBoundEndpoints()
{
    return server->boundEndpoints();
}

std::size_t Core::getEndedConnectionCount()
{
    return server->endedSessions().size();
}

// Runs on an IO thread inside the accept handler. A protocol type that names
// no protocol (a bad stored setting) closes this connection and nothing else.
void Core::createProtocol(boost::shared_ptr<Session> session)
{
    boost::shared_ptr<ProtocolBase> protocol;
    try {
        protocol = ProtocolFactory::create(config->protocolType.load(), session);
    } catch (const std::exception& e) {
        Log::line("Couldn't create protocol: ", e.what());
        session->close();
        return;
    }
    newProtocolSignal(protocol);
}
