#include "ProtocolFactory.h"

#include "Http.h"
#include "Log.h"
#include "PlainText.h"

#include <stdexcept>

boost::shared_ptr<ProtocolBase> ProtocolFactory::create(ProtocolType type, boost::shared_ptr<Session> session)
{
    Log::line("Creating protocol...");
    boost::shared_ptr<ProtocolBase> protocol;
    switch (type) {
    case PLAIN_TEXT:
        protocol.reset(new PlainText(session));
        Log::line("PlainText protocol created...");
        break;
    case HTTP:
        protocol.reset(new Http(session));
        Log::line("Http protocol created...");
        break;
    default:
        throw std::runtime_error("Undefined protocol type.");
    }
    protocol->subscribeToSession();
    return protocol;
}
