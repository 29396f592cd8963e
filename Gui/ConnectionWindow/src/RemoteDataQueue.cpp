#include "RemoteDataQueue.h"

#include "Latin1.h"
#include "Log.h"
#include "ProtocolBase.h"

RemoteDataQueue::RemoteDataQueue(boost::weak_ptr<ProtocolBase> protocol)
    : protocol(std::move(protocol))
{
}

void RemoteDataQueue::setDrainRequest(std::function<void()> request)
{
    std::lock_guard<std::mutex> lock(mutex);
    drainRequest = std::move(request);
}

void RemoteDataQueue::detach()
{
    std::lock_guard<std::mutex> lock(mutex);
    drainRequest = nullptr;
}

void RemoteDataQueue::onReadData(const std::string& data)
{
    Log::line("onReadData: ", data.size());
    if (data.empty()) {
        // Reading has ended: nothing more can come, so nothing more is listened to.
        if (const auto owner = protocol.lock())
            owner->readDataSignal.disconnect_all_slots();
        std::lock_guard<std::mutex> lock(mutex);
        ended = true;
        requestDrain();
        return;
    }

    Log::line("emitting onReadRemoteDataSignal");
    QString text = Latin1::toQString(data);
    std::lock_guard<std::mutex> lock(mutex);
    queuedBytes += text.size();
    chunks.push_back(std::move(text));
    // The Session checks the pause after this call returns, before it reads again.
    if (!readingPaused && queuedBytes >= pauseThreshold) {
        if (const auto owner = protocol.lock()) {
            readingPaused = true;
            owner->pauseReading();
        }
    }
    requestDrain();
}

RemoteDataQueue::Next RemoteDataQueue::takeNext(QString& chunk)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!chunks.empty()) {
        chunk = std::move(chunks.front());
        chunks.pop_front();
        queuedBytes -= chunk.size();
        if (readingPaused && queuedBytes <= resumeThreshold) {
            readingPaused = false;
            if (const auto owner = protocol.lock())
                owner->resumeReading();
        }
        return Next::Chunk;
    }
    if (ended && !endTaken) {
        endTaken = true;
        return Next::End;
    }
    drainPending = false;
    return Next::Empty;
}

qsizetype RemoteDataQueue::pendingBytes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return queuedBytes;
}

// Called with the lock held.
void RemoteDataQueue::requestDrain()
{
    if (drainPending || !drainRequest)
        return;
    drainPending = true;
    drainRequest();
}
