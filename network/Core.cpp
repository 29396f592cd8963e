#include "Core.h"

#include "Log.h"

#include <exception>

Core::Core()
    : config(GlobalConfig::Instance())
    , server(new Server())
{
    // The Server's signal lives no longer than the Server, which this Core owns.
    server->newSessionSignal.connect([this](boost::shared_ptr<Session> session) {
        createProtocol(std::move(session));
    });
    server->acceptingPausedSignal.connect([this](bool paused) { acceptingPausedSignal(paused); });
}

void Core::startListening()
{
    Log::line("start Listening...");
    server->startListening(config->listenPort);
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
    return config->listenPort;
}

void Core::setListenPort(unsigned int port)
{
    config->listenPort = port;
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
