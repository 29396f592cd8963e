#pragma once

#include <QString>

#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include <deque>
#include <functional>
#include <mutex>
#include <string>

class ProtocolBase;

// Carries one connection's received data from the IO threads to its window.
// Chunks wait here until the GUI thread shows them; at most one drain request
// is outstanding, however many chunks arrive. When too much waits, reading of
// this connection pauses, so TCP pushes back on this client alone.
class RemoteDataQueue
{
public:
    static constexpr qsizetype pauseThreshold = 4 * 1024 * 1024;
    static constexpr qsizetype resumeThreshold = 1024 * 1024;

    enum class Next { Chunk, End, Empty };

    explicit RemoteDataQueue(boost::weak_ptr<ProtocolBase> protocol);

    // GUI thread. The request is called with the queue's lock held, from an IO
    // thread, whenever data waits and no drain is pending; detach() waits for
    // a call in progress and stops all later ones.
    void setDrainRequest(std::function<void()> request);
    void detach();

    // IO thread: the listener on the protocol's readDataSignal.
    void onReadData(const std::string& data);

    // GUI thread. Empty also clears the pending drain, so the next chunk asks again.
    Next takeNext(QString& chunk);
    qsizetype pendingBytes() const;

private:
    void requestDrain();

    const boost::weak_ptr<ProtocolBase> protocol;

    mutable std::mutex mutex;
    std::function<void()> drainRequest;
    std::deque<QString> chunks;
    qsizetype queuedBytes = 0;
    bool drainPending = false;
    bool ended = false;
    bool endTaken = false;
    bool readingPaused = false;
};
