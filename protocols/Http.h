#pragma once

#include "ProtocolBase.h"

// Sends every text as one complete HTTP/1.0 response whose header lines are
// the connection's attribute list. Received data is reported unparsed.
class Http : public ProtocolBase
{
public:
    static const std::string crlf;

    explicit Http(boost::shared_ptr<Session> session);

    bool hasAttributes() override;
    std::string frame(std::string body) override;
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
    // Whether the user wants the connection's sending closed after each
    // response; returns the previous choice.
    bool setCloseAfterResponse(bool close);
    bool getCloseAfterResponse() const { return closeAfterResponse; }

private:
    // GUI thread only: set by the attributes editor and the window, read by frame.
    AttributeList attributes;
    std::string status = "200 OK";
    bool closeAfterResponse = false;
};
