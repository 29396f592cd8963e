#include "TcpConversation.h"

#include "PcapngFile.h"

#include <algorithm>

namespace
{
constexpr std::uint32_t clientInitialSequence = 0xffff0000;
constexpr std::uint32_t serverInitialSequence = 0xfffe0000;
// A receiver acknowledges at least every this many full segments.
constexpr std::size_t segmentsPerAck = 8;
}

TcpConversation::TcpConversation(const CaptureEndpoints& endpoints, PcapngFile& file)
    : builder(endpoints)
    , file(file)
    , sides{{clientInitialSequence, clientInitialSequence}, {serverInitialSequence, serverInitialSequence}}
{
}

bool TcpConversation::handshake(std::int64_t timeUs)
{
    TcpSegment syn;
    syn.from = TcpSide::Client;
    syn.sequence = state(TcpSide::Client).nextSequence;
    syn.flags = TcpFlag::syn;
    syn.announceMss = true;
    TcpSegment synAck = syn;
    synAck.from = TcpSide::Server;
    synAck.sequence = state(TcpSide::Server).nextSequence;
    synAck.acknowledgement = syn.sequence + 1;
    synAck.flags = TcpFlag::syn | TcpFlag::ack;
    return emit(syn, nullptr, 0, timeUs) && emit(synAck, nullptr, 0, timeUs)
           && emit(TcpSide::Client, TcpFlag::ack, nullptr, 0, timeUs);
}

bool TcpConversation::send(TcpSide from, const char* bytes, std::size_t size, std::int64_t timeUs)
{
    std::size_t segments = 0;
    while (size > 0) {
        const std::size_t length = std::min<std::size_t>(size, SegmentBuilder::maximumSegmentSize);
        const bool last = length == size;
        if (!emit(from, TcpFlag::ack | (last ? TcpFlag::psh : 0), bytes, length, timeUs))
            return false;
        bytes += length;
        size -= length;
        if (++segments % segmentsPerAck == 0 && !acknowledge(otherSide(from), timeUs))
            return false;
    }
    return acknowledge(otherSide(from), timeUs);
}

void TcpConversation::skip(TcpSide from, std::uint64_t size)
{
    SideState& sender = state(from);
    sender.nextSequence += static_cast<std::uint32_t>(size);
    // Nothing is acknowledged for bytes nobody saw; the next ACK covers them.
    sender.acknowledged = sender.nextSequence;
}

bool TcpConversation::finish(TcpSide from, std::int64_t timeUs)
{
    return emit(from, TcpFlag::fin | TcpFlag::ack, nullptr, 0, timeUs) && acknowledge(otherSide(from), timeUs);
}

bool TcpConversation::reset(TcpSide from, std::int64_t timeUs)
{
    return emit(from, TcpFlag::rst | TcpFlag::ack, nullptr, 0, timeUs);
}

bool TcpConversation::acknowledge(TcpSide by, std::int64_t timeUs)
{
    const SideState& sender = state(otherSide(by));
    if (sender.acknowledged == sender.nextSequence)
        return true;
    return emit(by, TcpFlag::ack, nullptr, 0, timeUs);
}

bool TcpConversation::emit(TcpSide from, std::uint8_t flags, const char* payload, std::size_t size,
                           std::int64_t timeUs)
{
    TcpSegment segment;
    segment.from = from;
    segment.sequence = state(from).nextSequence;
    segment.acknowledgement = state(otherSide(from)).nextSequence;
    segment.flags = flags;
    return emit(segment, payload, size, timeUs);
}

bool TcpConversation::emit(const TcpSegment& segment, const char* payload, std::size_t size, std::int64_t timeUs)
{
    SideState& sender = state(segment.from);
    // SYN and FIN take up one sequence number each.
    const std::uint32_t flagLength = (segment.flags & (TcpFlag::syn | TcpFlag::fin)) ? 1 : 0;
    sender.nextSequence += static_cast<std::uint32_t>(size) + flagLength;
    if (segment.flags & TcpFlag::ack)
        state(otherSide(segment.from)).acknowledged = segment.acknowledgement;
    builder.build(segment, payload, size, packet);
    return file.addPacket(packet, timeUs);
}
