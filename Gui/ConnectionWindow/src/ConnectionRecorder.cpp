#include "ConnectionRecorder.h"

#include "ByteEscaper.h"
#include "Log.h"
#include "ProtocolBase.h"
#include "Transcript.h"

ConnectionRecorder::ConnectionRecorder(boost::weak_ptr<ProtocolBase> protocol,
                                       std::shared_ptr<Transcript> transcript)
    : protocol(std::move(protocol))
    , transcript(std::move(transcript))
{
}

void ConnectionRecorder::setUpdateRequest(std::function<void()> request)
{
    std::lock_guard<std::mutex> lock(mutex);
    updateRequest = std::move(request);
}

void ConnectionRecorder::detach()
{
    std::lock_guard<std::mutex> lock(mutex);
    updateRequest = nullptr;
}

void ConnectionRecorder::onReadData(const std::string& data)
{
    Log::line("onReadData: ", data.size());
    if (data.empty()) {
        // Reading has ended: nothing more can come, so nothing more is listened to.
        if (const auto owner = protocol.lock())
            owner->readDataSignal.disconnect_all_slots();
        std::lock_guard<std::mutex> lock(mutex);
        events.ended = true;
        requestUpdate();
        return;
    }
    recordChunk(data);
}

// The log copy escapes control bytes: a client must not be able to drive the
// user's terminal or split a log line.
void ConnectionRecorder::recordChunk(const std::string& data)
{
    Log::line("emitting onReadRemoteDataSignal");
    thread_local std::string logLine;
    logLine.assign("onReadRemoteDataSlot:");
    appendEscaped(logLine, data.data(), data.size());
    Log::writeLine(logLine);

    transcript->append(Direction::Received, data.data(), data.size(), Transcript::nowUs());
    std::lock_guard<std::mutex> lock(mutex);
    // The session checks for a pause after this call returns, before it reads again.
    if (transcript->storageFailed() && !events.readingPaused) {
        if (const auto owner = protocol.lock()) {
            events.readingPaused = true;
            owner->pauseReading();
        }
    }
    requestUpdate();
}

void ConnectionRecorder::onSendResult(std::uint64_t id, const std::string& error)
{
    std::lock_guard<std::mutex> lock(mutex);
    events.sendResults.emplace_back(id, error);
    requestUpdate();
}

ConnectionRecorder::Events ConnectionRecorder::takeEvents()
{
    std::lock_guard<std::mutex> lock(mutex);
    updatePending = false;
    Events taken = events;
    events.sendResults.clear();
    return taken;
}

void ConnectionRecorder::resumeReading()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!events.readingPaused)
        return;
    events.readingPaused = false;
    if (const auto owner = protocol.lock())
        owner->resumeReading();
}

// Called with the lock held.
void ConnectionRecorder::requestUpdate()
{
    if (updatePending || !updateRequest)
        return;
    updatePending = true;
    updateRequest();
}
