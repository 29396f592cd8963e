#pragma once

#include <boost/shared_ptr.hpp>

class ProtocolBase;
class Session;

// Makes the protocol object that stands between a new connection and its window.
class ProtocolFactory
{
public:
    // The integers are stored in the settings and mapped to the preferences' radio buttons.
    // The fixed underlying type makes any stored integer a valid value, so that
    // an unknown one reaches create and is refused there.
    enum ProtocolType : int {
        PLAIN_TEXT = 0,
        HTTP = 1
    };

    static boost::shared_ptr<ProtocolBase> create(ProtocolType type, boost::shared_ptr<Session> session);
};
