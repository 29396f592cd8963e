#pragma once

#include <string>

// An address and port as plain text and number: where a listener is bound,
// or which listener accepted a connection. Free of Asio, so that a listing of
// them can be printed or turned into JSON without the network library's types.
struct BoundEndpoint
{
    // The address in its standard form: "::", "0.0.0.0", "127.0.0.1", "::1".
    std::string address;
    unsigned short port = 0;
    // Its clients speak TLS.
    bool tls = false;

    // "127.0.0.1:2222", or with an IPv6 address "[::1]:2222".
    std::string text() const;

    bool operator==(const BoundEndpoint& other) const { return address == other.address && port == other.port; }
    bool operator!=(const BoundEndpoint& other) const { return !(*this == other); }
};
