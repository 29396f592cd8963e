#pragma once

#include "CaptureEndpoints.h"

#include <boost/asio/ip/tcp.hpp>

// The capture's view of a socket's endpoint; an IPv4-mapped IPv6 address
// becomes the IPv4 address.
inline CaptureEndpoint captureEndpointOf(const boost::asio::ip::tcp::endpoint& endpoint)
{
    const boost::asio::ip::address address = endpoint.address();
    if (address.is_v4()) {
        const auto bytes = address.to_v4().to_bytes();
        return CaptureEndpoint::fromBytes(bytes.data(), bytes.size(), endpoint.port());
    }
    const auto bytes = address.to_v6().to_bytes();
    return CaptureEndpoint::fromBytes(bytes.data(), bytes.size(), endpoint.port());
}
