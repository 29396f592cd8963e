#pragma once

#include "ConnectionReport.h"
#include "TranscriptTypes.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class Conversation;
class ProtocolBase;
class RuleSet;

// One connection of a headless run: its conversation (with the rules, if
// any) and its report, and when it ends. Once the client ended its sending
// (or reset) and every reply queued has gone out, this side ends its sending
// too, then the connection is closed, the report finished and ended called.
// Main thread only; the conversation's watcher brings its changes there.
class HeadlessConnection : public std::enable_shared_from_this<HeadlessConnection>
{
public:
    struct Settings
    {
        std::shared_ptr<const RuleSet> rules; // may be null
        EventStream* stream = nullptr;        // may be null
        std::string folder;                   // empty: no files
        TranscriptLimits transcript;          // its temporary file and disk reserve
    };
    // How long this side's end of the stream may take to go out before the
    // connection is closed all the same.
    static constexpr std::chrono::milliseconds endingTimeLimit{5000};

    HeadlessConnection(boost::asio::io_context& context, std::uint64_t number,
                       boost::shared_ptr<ProtocolBase> protocol, const Settings& settings);
    ~HeadlessConnection();

    HeadlessConnection(const HeadlessConnection&) = delete;
    HeadlessConnection& operator=(const HeadlessConnection&) = delete;

    // Starts the conversation; returns what went wrong with the files, or an
    // empty string. changed is called on every change, ended once it ended.
    std::string start(std::function<void()> changed, std::function<void(std::uint64_t)> ended);
    // Closes the connection now; it ends once what it recorded is reported.
    void close(const std::string& how);
    bool closing() const { return phase == Phase::Closing || phase == Phase::Ended; }

private:
    enum class Phase { Open, EndingSending, Closing, Ended };

    void update();
    void checkEnd();
    bool sendsQueued() const;
    void finishClosing(const std::string& how);

    boost::asio::io_context& context;
    const std::uint64_t id;
    const std::shared_ptr<Conversation> conversation;
    ConnectionReport report;
    boost::asio::steady_timer endingTimer;
    Phase phase = Phase::Open;
    std::function<void()> changedCall;
    std::function<void(std::uint64_t)> endedCall;
    const std::string folder;
};
