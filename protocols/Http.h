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
    // A whole response with the given status and header lines, whatever this
    // connection's own are; for replies saved with their own.
    std::string frameResponse(const std::string& codeAndReason, const AttributeList& headerLines,
                              const std::string& body) const;

    // The code and reason of the status line that frame writes, "200 OK" at first.
    void setStatus(std::string codeAndReason);
    const std::string& getStatus() const { return status; }
    // When on, every response is followed by closeSending: the HTTP/1.0 way
    // of ending a response. Off for a new connection. Returns the previous choice.
    bool setCloseAfterResponse(bool close);
    bool getCloseAfterResponse() const;

protected:
    void responseQueued() override;

private:
    std::string headerFor(const std::string& codeAndReason, const AttributeList& headerLines,
                          std::uint64_t bodyLength) const;

    std::atomic<bool> closeAfterResponse{false};
    // GUI thread only: set by the attributes editor and the window, read by frame.
    AttributeList attributes;
    std::string status = "200 OK";
};
