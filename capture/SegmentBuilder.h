#pragma once

#include "CaptureEndpoints.h"
#include "TcpSegment.h"

#include <cstddef>
#include <string>

// Lays out one TCP segment as the IPv4 or IPv6 packet that carries it, with
// both checksums, as it would pass between the two endpoints.
class SegmentBuilder
{
public:
    static constexpr std::uint16_t maximumSegmentSize = 1460;
    static constexpr std::uint16_t window = 65535;

    explicit SegmentBuilder(const CaptureEndpoints& endpoints);

    // Replaces packet with the IP packet of segment and its payload.
    void build(const TcpSegment& segment, const char* payload, std::size_t size, std::string& packet);

private:
    void appendIpv4Header(TcpSide from, std::size_t tcpSize, std::string& packet);
    void appendIpv6Header(TcpSide from, std::size_t tcpSize, std::string& packet) const;
    static void appendTcpHeader(const TcpSegment& segment, std::uint16_t sourcePort, std::uint16_t destinationPort,
                                std::string& packet);
    std::uint16_t tcpChecksum(TcpSide from, const std::string& packet, std::size_t tcpStart) const;
    const CaptureEndpoint& source(TcpSide from) const;
    const CaptureEndpoint& destination(TcpSide from) const;

    const CaptureEndpoints endpoints;
    std::uint16_t ipv4Identification[2] = {0x1000, 0x8000}; // per side, counting up
};
