#include "PcapngWriter.h"

#include "PcapngFile.h"
#include "TcpConversation.h"
#include "Transcript.h"

#include <new>

namespace
{
const char* const sideNames[2] = {"client", "server"};

std::string checkEndpoints(const CaptureEndpoints& endpoints)
{
    if (endpoints.client.addressSize == 0)
        return "The client's address is neither IPv4 nor IPv6";
    if (endpoints.server.addressSize == 0)
        return "The server's address is neither IPv4 nor IPv6";
    if (endpoints.client.addressSize != endpoints.server.addressSize)
        return "The client's and the server's addresses are not of the same IP version";
    return {};
}
}

PcapngWriter::PcapngWriter() = default;

PcapngWriter::~PcapngWriter() = default;

template <typename Work>
std::string PcapngWriter::guarded(Work work) noexcept
{
    try {
        return work();
    } catch (const std::bad_alloc&) {
        failure = "Out of memory";
    } catch (...) {
        failure = "Internal error";
    }
    // What was half made may not match the numbers any more.
    state = State::Failed;
    return failure;
}

std::string PcapngWriter::open(const std::string& path, const CaptureEndpoints& endpoints, std::int64_t timeUs)
{
    return guarded([&]() -> std::string {
        if (state != State::Closed)
            return "The capture is open already";
        std::string invalid = checkEndpoints(endpoints);
        if (!invalid.empty())
            return invalid;
        file = std::make_unique<PcapngFile>();
        if (!file->open(path))
            return file->error();
        conversation = std::make_unique<TcpConversation>(endpoints, *file);
        state = State::Open;
        sideEnded[0] = sideEnded[1] = false;
        wasReset = false;
        failure.clear();
        return written(conversation->handshake(timeUs));
    });
}

std::string PcapngWriter::data(Direction direction, const char* bytes, std::size_t size, std::int64_t timeUs)
{
    return guarded([&]() -> std::string {
        const int side = direction == Direction::Received ? 0 : 1;
        if (state != State::Open)
            return refusal();
        if (wasReset)
            return std::string("Data after the reset of the connection is not in the capture");
        if (sideEnded[side])
            return std::string("Data from the ") + sideNames[side] + " after its FIN is not in the capture";
        return written(conversation->send(static_cast<TcpSide>(side), bytes, size, timeUs));
    });
}

std::string PcapngWriter::skipped(Direction direction, std::uint64_t size)
{
    return guarded([&]() -> std::string {
        if (state != State::Open)
            return refusal();
        conversation->skip(direction == Direction::Received ? TcpSide::Client : TcpSide::Server, size);
        return {};
    });
}

std::string PcapngWriter::clientEnded(std::int64_t timeUs)
{
    return guarded([&] { return ended(0, timeUs); });
}

std::string PcapngWriter::serverEnded(std::int64_t timeUs)
{
    return guarded([&] { return ended(1, timeUs); });
}

std::string PcapngWriter::ended(int side, std::int64_t timeUs)
{
    if (state != State::Open)
        return refusal();
    if (sideEnded[side] || wasReset)
        return {};
    sideEnded[side] = true;
    return written(conversation->finish(static_cast<TcpSide>(side), timeUs));
}

std::string PcapngWriter::reset(bool fromServer, std::int64_t timeUs)
{
    return guarded([&]() -> std::string {
        if (state != State::Open)
            return refusal();
        if (wasReset)
            return {};
        wasReset = true;
        return written(conversation->reset(fromServer ? TcpSide::Server : TcpSide::Client, timeUs));
    });
}

std::string PcapngWriter::close()
{
    return guarded([&]() -> std::string {
        if (state == State::Closed)
            return refusal();
        const bool closed = state == State::Open && file->close();
        std::string error = state == State::Failed ? failure : closed ? std::string() : file->error();
        state = State::Closed;
        conversation.reset();
        file.reset();
        return error;
    });
}

std::string PcapngWriter::refusal() const
{
    return state == State::Failed ? failure : "The capture is not open";
}

// The packets of a call are written out before it returns.
std::string PcapngWriter::written(bool madeAll)
{
    if (madeAll && file->flush())
        return {};
    state = State::Failed;
    failure = file->error();
    return failure;
}
