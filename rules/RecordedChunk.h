#pragma once

#include <cstdint>
#include <string>

// One chunk of a recorded conversation, as the server saw it.
struct RecordedChunk
{
    enum class Direction { Received, Sent };

    Direction direction = Direction::Received;
    std::string bytes;
    // Microseconds since the connection opened.
    std::uint64_t timeUs = 0;
};
