#pragma once

#include <boost/weak_ptr.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class ProtocolBase;
class Transcript;

// Takes what happens on one connection on the IO threads and hands it to the
// GUI thread. Every received chunk goes into the transcript at once, with the
// read path's log lines, so that reading never waits for drawing; the window
// is only told that there is something new, at most once until it looks.
// Write results take the same way.
class ConnectionRecorder
{
public:
    struct Events
    {
        bool ended = false;
        bool readingPaused = false;
        std::vector<std::pair<std::uint64_t, std::string>> sendResults;
    };

    ConnectionRecorder(boost::weak_ptr<ProtocolBase> protocol, std::shared_ptr<Transcript> transcript);

    // GUI thread. The request is called from an IO thread with the recorder's
    // lock held; detach() waits for a call in progress and stops all later ones.
    void setUpdateRequest(std::function<void()> request);
    void detach();

    // IO thread: the listeners on the protocol's signals.
    void onReadData(const std::string& data);
    void onSendResult(std::uint64_t id, const std::string& error);

    // GUI thread: what happened since the last call. The next event asks for
    // an update again.
    Events takeEvents();
    // GUI thread: the transcript's file takes data again, so reading goes on.
    void resumeReading();

private:
    void recordChunk(const std::string& data);
    void requestUpdate();

    const boost::weak_ptr<ProtocolBase> protocol;
    const std::shared_ptr<Transcript> transcript;

    std::mutex mutex;
    std::function<void()> updateRequest;
    Events events;
    bool updatePending = false;
};
