#include "Http.h"

#include <sstream>

const std::string Http::crlf = "\r\n";

Http::Http(boost::shared_ptr<Session> session)
    : ProtocolBase(std::move(session))
{
}

bool Http::hasAttributes()
{
    return true;
}

std::string Http::frame(std::string body)
{
    return prepareHeader(attributes, body) + body;
}

void Http::setAttributes(AttributeList newAttributes)
{
    attributes = std::move(newAttributes);
}

void Http::readHandler(const std::string& data)
{
    readDataSignal(data);
}

std::string Http::frameHeader(std::uint64_t bodyLength)
{
    return headerFor(attributes, bodyLength);
}

std::string Http::prepareHeader(AttributeList headerLines, const std::string& body)
{
    return headerFor(headerLines, body.size());
}

std::string Http::headerFor(const AttributeList& headerLines, std::uint64_t bodyLength) const
{
    std::ostringstream header;
    header << "HTTP/1.0 200 OK" << crlf;
    for (const auto& [name, value] : headerLines)
        header << name << ": " << value << crlf;
    header << "Content-Length: " << bodyLength << crlf;
    header << crlf;
    return header.str();
}

void Http::setCloseAfterResponse(bool close)
{
    closeAfterResponse.store(close);
}

bool Http::getCloseAfterResponse() const
{
    return closeAfterResponse.load();
}

void Http::responseQueued()
{
    if (closeAfterResponse.load())
        closeSending();
}
