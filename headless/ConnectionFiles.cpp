#include "ConnectionFiles.h"

#include "Transcript.h"

#include <algorithm>

std::string ConnectionFiles::open(const std::string& folder, std::uint64_t number, const CaptureEndpoints& endpoints,
                                  std::int64_t timeUs)
{
    const std::string base = folder + "/" + std::to_string(number);
    std::string error;
    received = FileSink::create(base + "-received.bin", error);
    if (received)
        sent = FileSink::create(base + "-sent.bin", error);
    if (sent)
        events = EventStream::open(base + "-events.jsonl", error);
    if (!events)
        return "couldn't make the files of connection " + std::to_string(number) + " in " + folder + ": " + error;
    lastTimeUs = timeUs;
    captured(capture.open(base + ".pcapng", endpoints, timeUs));
    capturing = captureFailure.empty();
    return {};
}

// A chunk's time is when it was recorded; the capture's packets keep their order.
bool ConnectionFiles::data(Direction direction, const char* bytes, std::size_t size, std::int64_t timeUs)
{
    const int side = direction == Direction::Received ? 0 : 1;
    lastTimeUs = std::max(lastTimeUs, timeUs);
    if (capturing && !wasReset && !ended[side])
        captured(capture.data(direction, bytes, size, lastTimeUs));
    return (side == 0 ? received : sent)->write(bytes, size);
}

bool ConnectionFiles::event(const EventStream::Json& event)
{
    return events->write(event);
}

void ConnectionFiles::clientEnded(std::int64_t timeUs)
{
    lastTimeUs = std::max(lastTimeUs, timeUs);
    if (capturing && !ended[0] && !wasReset)
        captured(capture.clientEnded(lastTimeUs));
    ended[0] = true;
}

void ConnectionFiles::serverEnded(std::int64_t timeUs)
{
    lastTimeUs = std::max(lastTimeUs, timeUs);
    if (capturing && !ended[1] && !wasReset)
        captured(capture.serverEnded(lastTimeUs));
    ended[1] = true;
}

void ConnectionFiles::reset(bool fromServer, std::int64_t timeUs)
{
    lastTimeUs = std::max(lastTimeUs, timeUs);
    if (capturing && !wasReset)
        captured(capture.reset(fromServer, lastTimeUs));
    wasReset = true;
}

bool ConnectionFiles::waiting() const
{
    return received->waiting() || sent->waiting() || events->waiting();
}

bool ConnectionFiles::retry()
{
    const bool receivedDone = received->retry();
    const bool sentDone = sent->retry();
    const bool eventsDone = events->retry();
    return receivedDone && sentDone && eventsDone;
}

std::string ConnectionFiles::error() const
{
    for (const FileSink* file : {received.get(), sent.get()}) {
        if (file->waiting())
            return file->error();
    }
    return events->error();
}

std::string ConnectionFiles::takeCaptureFailure()
{
    std::string failure;
    failure.swap(captureFailure);
    return failure;
}

void ConnectionFiles::close(std::int64_t timeUs)
{
    serverEnded(timeUs);
    if (!capturing)
        return;
    capturing = false;
    captured(capture.close());
}

void ConnectionFiles::captured(const std::string& failure)
{
    if (failure.empty())
        return;
    capturing = false;
    captureFailure = failure;
}
