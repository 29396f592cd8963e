#pragma once

#include <cstdint>

enum class TcpSide : std::uint8_t { Client = 0, Server = 1 };

inline TcpSide otherSide(TcpSide side)
{
    return side == TcpSide::Client ? TcpSide::Server : TcpSide::Client;
}

namespace TcpFlag
{
constexpr std::uint8_t fin = 0x01;
constexpr std::uint8_t syn = 0x02;
constexpr std::uint8_t rst = 0x04;
constexpr std::uint8_t psh = 0x08;
constexpr std::uint8_t ack = 0x10;
}

// The header fields of one TCP segment that change from segment to segment.
struct TcpSegment
{
    TcpSide from = TcpSide::Client;
    std::uint32_t sequence = 0;
    std::uint32_t acknowledgement = 0;
    std::uint8_t flags = 0;
    bool announceMss = false; // the MSS option, on SYN and SYN-ACK
};
