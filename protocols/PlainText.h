#pragma once

#include "ProtocolBase.h"

// The transparent protocol: data goes both ways unchanged.
class PlainText : public ProtocolBase
{
public:
    explicit PlainText(boost::shared_ptr<Session> session);

    bool hasAttributes() override;
    void readHandler(const std::string& data) override;
};
