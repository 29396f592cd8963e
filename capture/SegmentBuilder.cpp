#include "SegmentBuilder.h"

#include "InternetChecksum.h"

namespace
{
constexpr std::size_t ipv4HeaderSize = 20;
constexpr std::size_t ipv6HeaderSize = 40;
constexpr std::size_t tcpHeaderSize = 20;
constexpr std::size_t mssOptionSize = 4;
constexpr std::size_t tcpChecksumOffset = 16;
constexpr std::size_t ipv4ChecksumOffset = 10;
constexpr std::uint8_t protocolTcp = 6;
constexpr std::uint8_t hopLimit = 64;

void append8(std::string& out, std::uint8_t value)
{
    out += static_cast<char>(value);
}

void append16(std::string& out, std::uint16_t value)
{
    append8(out, static_cast<std::uint8_t>(value >> 8));
    append8(out, static_cast<std::uint8_t>(value));
}

void append32(std::string& out, std::uint32_t value)
{
    append16(out, static_cast<std::uint16_t>(value >> 16));
    append16(out, static_cast<std::uint16_t>(value));
}

void appendAddress(std::string& out, const CaptureEndpoint& endpoint)
{
    out.append(reinterpret_cast<const char*>(endpoint.address.data()), endpoint.addressSize);
}

void store16(std::string& out, std::size_t at, std::uint16_t value)
{
    out[at] = static_cast<char>(value >> 8);
    out[at + 1] = static_cast<char>(value);
}

const std::uint8_t* bytesOf(const std::string& packet, std::size_t at)
{
    return reinterpret_cast<const std::uint8_t*>(packet.data()) + at;
}
}

SegmentBuilder::SegmentBuilder(const CaptureEndpoints& endpoints)
    : endpoints(endpoints)
{
}

void SegmentBuilder::build(const TcpSegment& segment, const char* payload, std::size_t size, std::string& packet)
{
    const std::size_t tcpSize = tcpHeaderSize + (segment.announceMss ? mssOptionSize : 0) + size;
    packet.clear();
    if (endpoints.client.isV6())
        appendIpv6Header(segment.from, tcpSize, packet);
    else
        appendIpv4Header(segment.from, tcpSize, packet);
    const std::size_t tcpStart = packet.size();
    appendTcpHeader(segment, source(segment.from).port, destination(segment.from).port, packet);
    packet.append(payload, size);
    store16(packet, tcpStart + tcpChecksumOffset, tcpChecksum(segment.from, packet, tcpStart));
}

void SegmentBuilder::appendIpv4Header(TcpSide from, std::size_t tcpSize, std::string& packet)
{
    constexpr std::uint8_t versionAndHeaderLength = 0x45;
    constexpr std::uint16_t dontFragment = 0x4000;
    append8(packet, versionAndHeaderLength);
    append8(packet, 0); // DSCP and ECN
    append16(packet, static_cast<std::uint16_t>(ipv4HeaderSize + tcpSize));
    append16(packet, ipv4Identification[static_cast<int>(from)]++);
    append16(packet, dontFragment);
    append8(packet, hopLimit);
    append8(packet, protocolTcp);
    append16(packet, 0); // the checksum, stored below
    appendAddress(packet, source(from));
    appendAddress(packet, destination(from));
    InternetChecksum checksum;
    checksum.add(bytesOf(packet, 0), ipv4HeaderSize);
    store16(packet, ipv4ChecksumOffset, checksum.result());
}

void SegmentBuilder::appendIpv6Header(TcpSide from, std::size_t tcpSize, std::string& packet) const
{
    constexpr std::uint32_t version6 = 0x60000000; // traffic class and flow label 0
    append32(packet, version6);
    append16(packet, static_cast<std::uint16_t>(tcpSize));
    append8(packet, protocolTcp);
    append8(packet, hopLimit);
    appendAddress(packet, source(from));
    appendAddress(packet, destination(from));
}

void SegmentBuilder::appendTcpHeader(const TcpSegment& segment, std::uint16_t sourcePort,
                                     std::uint16_t destinationPort, std::string& packet)
{
    constexpr std::uint8_t mssKind = 2;
    const std::size_t headerSize = tcpHeaderSize + (segment.announceMss ? mssOptionSize : 0);
    append16(packet, sourcePort);
    append16(packet, destinationPort);
    append32(packet, segment.sequence);
    append32(packet, segment.acknowledgement);
    append8(packet, static_cast<std::uint8_t>(headerSize / 4 << 4));
    append8(packet, segment.flags);
    append16(packet, window);
    append16(packet, 0); // the checksum, stored once the payload is in
    append16(packet, 0); // urgent pointer
    if (segment.announceMss) {
        append8(packet, mssKind);
        append8(packet, mssOptionSize);
        append16(packet, maximumSegmentSize);
    }
}

std::uint16_t SegmentBuilder::tcpChecksum(TcpSide from, const std::string& packet, std::size_t tcpStart) const
{
    const std::size_t tcpSize = packet.size() - tcpStart;
    const CaptureEndpoint& sourceEndpoint = source(from);
    const CaptureEndpoint& destinationEndpoint = destination(from);
    InternetChecksum checksum;
    checksum.add(sourceEndpoint.address.data(), sourceEndpoint.addressSize);
    checksum.add(destinationEndpoint.address.data(), destinationEndpoint.addressSize);
    checksum.add32(static_cast<std::uint32_t>(tcpSize));
    checksum.add16(protocolTcp);
    checksum.add(bytesOf(packet, tcpStart), tcpSize);
    return checksum.result();
}

const CaptureEndpoint& SegmentBuilder::source(TcpSide from) const
{
    return from == TcpSide::Client ? endpoints.client : endpoints.server;
}

const CaptureEndpoint& SegmentBuilder::destination(TcpSide from) const
{
    return from == TcpSide::Client ? endpoints.server : endpoints.client;
}
