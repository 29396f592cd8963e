#pragma once

#include "CaptureEndpoints.h"
#include "EventStream.h"
#include "FileSink.h"
#include "PcapngWriter.h"

#include <cstdint>
#include <memory>
#include <string>

enum class Direction : std::uint8_t;

// The files of connection N in the transcript folder, written as the
// connection goes: N-received.bin and N-sent.bin (each direction's bytes
// exactly), N-events.jsonl (the connection's events) and N.pcapng (the
// connection as a capture). Main thread only.
//
// Bytes a file cannot take wait in memory until retry(); the capture cannot
// wait (see PcapngWriter), so it stops at its first failure, which
// takeCaptureFailure() tells once.
class ConnectionFiles
{
public:
    // Makes the four files; returns what went wrong, or an empty string.
    std::string open(const std::string& folder, std::uint64_t number, const CaptureEndpoints& endpoints,
                     std::int64_t timeUs);

    // Each returns false when a file holds bytes it could not write.
    bool data(Direction direction, const char* bytes, std::size_t size, std::int64_t timeUs);
    bool event(const EventStream::Json& event);
    void clientEnded(std::int64_t timeUs);
    void serverEnded(std::int64_t timeUs);
    void reset(bool fromServer, std::int64_t timeUs);

    bool waiting() const;
    bool retry();
    // Why a file waits.
    std::string error() const;
    // The capture's failure, once; then an empty string.
    std::string takeCaptureFailure();
    // Closes the capture; the socket's close is this side's FIN, unless the
    // side ended or the connection was reset before.
    void close(std::int64_t timeUs);

private:
    void captured(const std::string& failure);

    std::unique_ptr<FileSink> received;
    std::unique_ptr<FileSink> sent;
    std::unique_ptr<EventStream> events;
    PcapngWriter capture;
    bool capturing = false;
    bool ended[2] = {false, false}; // client, server
    bool wasReset = false;
    std::int64_t lastTimeUs = 0;
    std::string captureFailure;
};
