#pragma once

#include "CaptureEndpoints.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

enum class Direction : std::uint8_t; // Transcript.h: Received (client to server) or Sent

class TcpConversation;
class PcapngFile;

// Writes one TCP conversation as a pcapng file while it happens: a made-up
// handshake when opened, then the segments of every piece of data, the FINs
// and a reset as they are given, each dated by the time given with it (in
// microseconds since the Unix epoch). Wireshark reads the file as a clean
// capture of the connection, and its Follow TCP Stream gives back each side's
// bytes exactly.
//
// Every call writes its packets out before it returns, so the file is
// complete up to the last call (a crash loses nothing written), and memory
// stays bounded whatever the size of the data. Every call returns an empty
// string, or what went wrong; nothing is thrown. Once writing failed (a full
// disk) every later call returns that failure again. Not thread-safe: one
// thread at a time, as one connection's events come.
class PcapngWriter
{
public:
    PcapngWriter();
    ~PcapngWriter(); // closes the file if still open

    PcapngWriter(const PcapngWriter&) = delete;
    PcapngWriter& operator=(const PcapngWriter&) = delete;

    // Creates path (replacing what was there) and writes the handshake at timeUs.
    std::string open(const std::string& path, const CaptureEndpoints& endpoints, std::int64_t timeUs);
    // Received: from the client; Sent: from the server. Refused (with a message,
    // writing nothing) after that side's FIN or after a reset.
    std::string data(Direction direction, const char* bytes, std::size_t size, std::int64_t timeUs);
    // Data that side sent which the capture leaves out (it was dropped): a gap
    // in its sequence numbers.
    std::string skipped(Direction direction, std::uint64_t size);
    // A FIN from that side and the other side's ACK; a repeated one is ignored.
    std::string clientEnded(std::int64_t timeUs);
    std::string serverEnded(std::int64_t timeUs);
    // An RST from that side; nothing follows it. A repeated one is ignored.
    std::string reset(bool fromServer, std::int64_t timeUs);
    // Writes what is left and closes the file; after a failure, returns it
    // (the file then ends with the last packet that could be written).
    std::string close();

private:
    enum class State { Closed, Open, Failed };

    std::string ended(int side, std::int64_t timeUs);
    std::string refusal() const;
    std::string written(bool madeAll);
    template <typename Work>
    std::string guarded(Work work) noexcept;

    std::unique_ptr<PcapngFile> file;
    std::unique_ptr<TcpConversation> conversation;
    State state = State::Closed;
    bool sideEnded[2] = {false, false}; // client, server
    bool wasReset = false;
    std::string failure;
};
