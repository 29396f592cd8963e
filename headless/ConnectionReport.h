#pragma once

#include "ConnectionFiles.h"
#include "EventStream.h"
#include "TranscriptFollower.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Conversation;
class RuleSet;

// Tells what happens on one connection: as events (on the run's stream and
// in the connection's own events file) and in the connection's files, in
// the order it happened on the wire, read from the conversation's
// transcript, its rule counters and its sends. Main thread only.
//
// While a file cannot take what it is given (a full disk), reading from the
// client pauses, so that TCP pushes back on it, and the files are tried
// again every retryInterval; both are events.
class ConnectionReport : private TranscriptFollower::Sink
{
public:
    using Json = EventStream::Json;

    static constexpr std::chrono::milliseconds retryInterval{1000};

    // rules (the conversation's, for their names) and stream (no events
    // asked for) may be null.
    ConnectionReport(boost::asio::io_context& context, std::uint64_t number, std::shared_ptr<Conversation> conversation,
                     std::shared_ptr<const RuleSet> rules, EventStream* stream);
    ~ConnectionReport() override;

    // The files go into folder (none when it is empty); the first event,
    // dated acceptedUs, as is the capture's handshake. Returns what went
    // wrong with the files, or an empty string.
    std::string start(const std::string& folder, std::int64_t acceptedUs);
    // Reports what is new since the last call.
    void update();
    // Reports what is left, then the last event, and closes the files.
    // how: why it closed.
    void finish(const std::string& how);

    std::uint64_t number() const { return id; }

private:
    bool piece(const Chunk& chunk, std::uint64_t offset, const char* bytes, std::size_t size) override;
    void event(const TranscriptEvent& event) override;
    void endEvent(const TranscriptEvent& event);
    void tlsEvent(const TranscriptEvent& event);
    void reportRuleHits();
    void reportFailedSends();
    void waitForFiles();
    void retryFiles();
    void reportCaptureFailure();
    void emit(Json event);
    Json made(const char* name, std::int64_t timeUs) const;

    const std::uint64_t id;
    const std::shared_ptr<Conversation> conversation;
    const std::shared_ptr<const RuleSet> rules;
    EventStream* const stream;
    TranscriptFollower follower;
    std::unique_ptr<ConnectionFiles> files;
    boost::asio::steady_timer retryTimer;
    bool filesWaiting = false;
    bool finishing = false;
    bool sendNotesSeen = false;
    std::vector<std::uint64_t> ruleHits;
    std::uint64_t lastFinishedSend = 0;
};
