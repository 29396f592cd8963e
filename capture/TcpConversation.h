#pragma once

#include "SegmentBuilder.h"
#include "TcpSegment.h"

#include <cstddef>
#include <cstdint>
#include <string>

class PcapngFile;

// The segments of one TCP connection between the client and the server, made
// up from what each side sent and written to the file as they are made: the
// handshake, data in segments of at most the MSS with the receiver's ACKs,
// FINs and a reset. The receiver acknowledges at the end of every piece of
// data and every few segments within a large one, so that no more than a
// fraction of the window is ever in flight and no analysis sees a full
// window (a window of 64 KiB is then plenty, so the handshake offers no
// window scaling); every ACK acknowledges something new, so none is a
// duplicate.
//
// Sequence numbers run modulo 2^32, as in TCP. The initial ones lie just
// below the wrap, so that each direction crosses it within its first
// 128 KiB, not only beyond 4 GiB: the wrap is no rare case.
class TcpConversation
{
public:
    TcpConversation(const CaptureEndpoints& endpoints, PcapngFile& file);

    // Each returns false when the file could not take the packets.
    bool handshake(std::int64_t timeUs);
    bool send(TcpSide from, const char* bytes, std::size_t size, std::int64_t timeUs);
    // Bytes that side sent which are not in the capture: the sequence numbers
    // jump over them, so that analysers see a gap (a segment not captured).
    void skip(TcpSide from, std::uint64_t size);
    bool finish(TcpSide from, std::int64_t timeUs); // a FIN and the other side's ACK
    bool reset(TcpSide from, std::int64_t timeUs);

private:
    struct SideState
    {
        std::uint32_t nextSequence;
        std::uint32_t acknowledged; // how far the other side has acknowledged this one
    };

    bool emit(const TcpSegment& header, const char* payload, std::size_t size, std::int64_t timeUs);
    bool emit(TcpSide from, std::uint8_t flags, const char* payload, std::size_t size, std::int64_t timeUs);
    // An ACK from side by for everything the other side sent, unless that is acknowledged already.
    bool acknowledge(TcpSide by, std::int64_t timeUs);
    SideState& state(TcpSide side) { return sides[static_cast<int>(side)]; }

    SegmentBuilder builder;
    PcapngFile& file;
    SideState sides[2];
    std::string packet;
};
