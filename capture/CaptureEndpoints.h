#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// One side of the TCP connection a capture shows: its address (4 bytes for
// IPv4, 16 for IPv6, in network order) and its port.
struct CaptureEndpoint
{
    std::array<std::uint8_t, 16> address{}; // an IPv4 address in the first 4 bytes
    std::uint8_t addressSize = 0;            // 4 or 16; 0 for no valid address
    std::uint16_t port = 0;

    // From an address's bytes as the system or Boost.Asio give them (to_bytes());
    // an IPv4-mapped IPv6 address (::ffff:a.b.c.d) becomes the IPv4 address, as
    // the client used it. A size other than 4 or 16 gives no valid address.
    static CaptureEndpoint fromBytes(const std::uint8_t* bytes, std::size_t size, std::uint16_t port);

    bool isV6() const { return addressSize == 16; }
};

struct CaptureEndpoints
{
    CaptureEndpoint client;
    CaptureEndpoint server;
};
