#pragma once

#include <chrono>
#include <cstddef>
#include <string>

// What rules can do to the connection they run for. Called on the
// connection's strand; each call queues its work behind what the connection
// is already sending, so that the wire keeps the order of the calls.
class ConnectionActions
{
public:
    virtual ~ConnectionActions() = default;

    virtual void sendBytes(std::string bytes) = 0;
    // Writes of pieceSize bytes with delay between them.
    virtual void sendInPieces(std::string bytes, std::size_t pieceSize, std::chrono::milliseconds delay) = 0;
    virtual void sendFile(const std::string& path) = 0;
    // Ends this side's sending once everything before has gone out.
    virtual void closeSending() = 0;
    // Closes the connection at once so that the client sees a reset.
    virtual void reset() = 0;
    // Stops reading from the client for a while, so that TCP pushes back.
    virtual void pauseReading(std::chrono::milliseconds duration) = 0;
    // A line for the conversation saying what a rule did.
    virtual void note(const std::string& text) = 0;
};
