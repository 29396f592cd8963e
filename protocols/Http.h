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

private:
    // GUI thread only: set by the attributes editor, read by frame.
    AttributeList attributes;
};
