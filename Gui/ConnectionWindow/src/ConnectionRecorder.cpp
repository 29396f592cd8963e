#include "ConnectionRecorder.h"

#include "ByteEscaper.h"
#include "Log.h"
#include "ProtocolBase.h"
#include "Transcript.h"

#include <algorithm>

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
// user's terminal or split a log line. The log's writer thread does the
// escaping, so reading goes on meanwhile.
void ConnectionRecorder::recordChunk(const std::string& data)
{
    Log::line("emitting onReadRemoteDataSignal");
    static const std::string logPrefix = "onReadRemoteDataSlot:";
    Log::writeLine(logPrefix, data.data(), data.size(), appendEscaped);

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
    lastFinishedSend = std::max(lastFinishedSend, id);
    std::size_t chunk = noChunk;
    const auto reply = repliesToRecord.find(id);
    if (reply != repliesToRecord.end()) {
        chunk = appendSent(reply->second);
        repliesToRecord.erase(reply);
    }
    const auto file = lastChunkOfSend.find(id);
    if (file != lastChunkOfSend.end()) {
        chunk = file->second;
        lastChunkOfSend.erase(file);
    }
    events.sendResults.push_back(SendResult{id, error, chunk});
    requestUpdate();
}

void ConnectionRecorder::onSentData(std::uint64_t id, const std::string& bytes)
{
    Log::line("onSentFileData: ", bytes.size());
    std::lock_guard<std::mutex> lock(mutex);
    lastChunkOfSend[id] = appendSent(bytes);
    requestUpdate();
}

std::size_t ConnectionRecorder::recordWhenWritten(std::uint64_t id, std::string bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (id <= lastFinishedSend)
        return appendSent(bytes);
    repliesToRecord.emplace(id, std::move(bytes));
    return noChunk;
}

// Called with the lock held.
std::size_t ConnectionRecorder::appendSent(const std::string& bytes)
{
    return transcript->append(Direction::Sent, bytes.data(), bytes.size(), Transcript::nowUs());
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
