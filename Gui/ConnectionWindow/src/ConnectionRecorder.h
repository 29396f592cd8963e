#pragma once

#include <boost/weak_ptr.hpp>

#include <cstdint>
#include <functional>
#include <map>
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
// Write results take the same way, and so do the blocks of a file being sent,
// which go into the transcript as they are written.
class ConnectionRecorder
{
public:
    static constexpr std::size_t noChunk = static_cast<std::size_t>(-1);

    struct SendResult
    {
        std::uint64_t id;
        std::string error; // empty when the send was written whole
        // The transcript chunk this side recorded for the send (its last file
        // block, or a reply recorded once written); noChunk if none.
        std::size_t chunk;
    };

    struct Events
    {
        bool ended = false;
        bool readingPaused = false;
        std::vector<SendResult> sendResults;
    };

    ConnectionRecorder(boost::weak_ptr<ProtocolBase> protocol, std::shared_ptr<Transcript> transcript);

    // GUI thread. The request is called from an IO thread with the recorder's
    // lock held; detach() waits for a call in progress and stops all later ones.
    void setUpdateRequest(std::function<void()> request);
    void detach();

    // IO thread: the listeners on the protocol's signals.
    void onReadData(const std::string& data);
    void onSendResult(std::uint64_t id, const std::string& error);
    void onSentData(std::uint64_t id, const std::string& bytes);

    // GUI thread: records a reply in the transcript once the connection has
    // written it, so that it takes its place after a file sent before it.
    // Returns the chunk's index when that has happened already, else noChunk
    // (the send's result then carries it).
    std::size_t recordWhenWritten(std::uint64_t id, std::string bytes);

    // GUI thread: what happened since the last call. The next event asks for
    // an update again.
    Events takeEvents();
    // GUI thread: the transcript's file takes data again, so reading goes on.
    void resumeReading();

private:
    void recordChunk(const std::string& data);
    void requestUpdate();
    std::size_t appendSent(const std::string& bytes);

    const boost::weak_ptr<ProtocolBase> protocol;
    const std::shared_ptr<Transcript> transcript;

    std::mutex mutex;
    std::function<void()> updateRequest;
    Events events;
    bool updatePending = false;
    // Sends end in the order they were made: every number up to this one has.
    std::uint64_t lastFinishedSend = 0;
    std::map<std::uint64_t, std::string> repliesToRecord;
    std::map<std::uint64_t, std::size_t> lastChunkOfSend;
};
