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
    std::ostringstream header;
    header << "HTTP/1.0 " << codeAndReason << crlf;
    for (const auto& [name, value] : headerLines)
        header << name << ": " << value << crlf;
    header << "Content-Length: " << body.size() << crlf;
    header << crlf;
    return header.str() + body;
}

void Http::setStatus(std::string codeAndReason)
{
    status = std::move(codeAndReason);
}

bool Http::setCloseAfterResponse(bool close)
{
    const bool previous = closeAfterResponse;
    closeAfterResponse = close;
    return previous;
}

void Http::setAttributes(AttributeList newAttributes)
{
    attributes = std::move(newAttributes);
}

void Http::readHandler(const std::string& data)
{
    readDataSignal(data);
}

std::string Http::prepareHeader(AttributeList headerLines, const std::string& body)
{
    std::string response = frameResponse(status, headerLines, body);
    response.resize(response.size() - body.size());
    return response;
}
