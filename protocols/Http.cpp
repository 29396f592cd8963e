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
    return frameResponse(status, attributes, body);
}

std::string Http::frameResponse(const std::string& codeAndReason, const AttributeList& headerLines,
                                 const std::string& body) const
{
    return headerFor(codeAndReason, headerLines, body.size()) + body;
}

void Http::setStatus(std::string codeAndReason)
{
    status = std::move(codeAndReason);
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
    return headerFor(status, attributes, bodyLength);
}

std::string Http::prepareHeader(AttributeList headerLines, const std::string& body)
{
    return headerFor(status, headerLines, body.size());
}

std::string Http::headerFor(const std::string& codeAndReason, const AttributeList& headerLines,
                            std::uint64_t bodyLength) const
{
    std::ostringstream header;
    header << "HTTP/1.0 " << codeAndReason << crlf;
    for (const auto& [name, value] : headerLines)
        header << name << ": " << value << crlf;
    header << "Content-Length: " << bodyLength << crlf;
    header << crlf;
    return header.str();
}

bool Http::setCloseAfterResponse(bool close)
{
    return closeAfterResponse.exchange(close);
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
