#pragma once

#include "ProtocolBase.h"

#include <atomic>

// Sends every text as one complete HTTP/1.0 response whose header lines are
// the connection's attribute list. Received data is reported unparsed.
class Http : public ProtocolBase
{
public:
    static const std::string crlf;

    explicit Http(boost::shared_ptr<Session> session);

    bool hasAttributes() override;
    std::string frame(std::string body) override;
    std::string frameHeader(std::uint64_t bodyLength) override;
    void setAttributes(AttributeList attributes) override;
    void readHandler(const std::string& data) override;

    std::string prepareHeader(AttributeList attributes, const std::string& body);

    // When on, every response is followed by closeSending: the HTTP/1.0 way
    // of ending a response. Off for a new connection.
    void setCloseAfterResponse(bool close);
    bool getCloseAfterResponse() const;

protected:
    void responseQueued() override;

private:
    std::string headerFor(const AttributeList& headerLines, std::uint64_t bodyLength) const;

    std::atomic<bool> closeAfterResponse{false};
    // GUI thread only: set by the attributes editor, read by frame.
    AttributeList attributes;
};
