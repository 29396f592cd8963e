#include "PlainText.h"

PlainText::PlainText(boost::shared_ptr<Session> session)
    : ProtocolBase(std::move(session))
{
}

bool PlainText::hasAttributes()
{
    return false;
}

void PlainText::readHandler(const std::string& data)
{
    readDataSignal(data);
}
