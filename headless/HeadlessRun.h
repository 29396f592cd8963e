#pragma once

#include "EventStream.h"
#include "ExitCode.h"
#include "HeadlessConnection.h"
#include "HeadlessOptions.h"
#include "TranscriptTypes.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/connection.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>

class Core;
class ProtocolBase;
class RuleSet;

// `brindlewick --headless`: listens where the options say, answers every
// client by the rules (or not at all), reports each connection as events and
// files (see ConnectionReport), and stops once the options say it is done,
// or at SIGTERM or SIGINT, with every connection's files complete.
//
// Everything but the network runs on the calling thread, in an io_context
// of its own: the connections' news, the timers and the signals.
class HeadlessRun
{
public:
    explicit HeadlessRun(HeadlessOptions options);
    ~HeadlessRun();

    HeadlessRun(const HeadlessRun&) = delete;
    HeadlessRun& operator=(const HeadlessRun&) = delete;

    // Messages for the user (one line each) go to errors.
    ExitCode run(std::ostream& errors);

private:
    ExitCode prepare(std::ostream& errors);
    ExitCode listen(std::ostream& errors);
    void accept(boost::shared_ptr<ProtocolBase> protocol);
    void connectionEnded(std::uint64_t number);
    void activity();
    void watchIdleness();
    void stop(ExitCode code);

    const HeadlessOptions options;
    // Every connection's temporary file keeps the default disk reserve.
    const TranscriptLimits transcriptLimits;
    boost::asio::io_context context{1};
    boost::asio::signal_set signals;
    boost::asio::steady_timer runTimer;
    boost::asio::steady_timer idleTimer;
    std::chrono::steady_clock::time_point lastActivity;
    boost::shared_ptr<Core> core;
    boost::signals2::scoped_connection newProtocols;
    std::unique_ptr<EventStream> stream;
    std::shared_ptr<const RuleSet> rules;
    std::map<std::uint64_t, std::shared_ptr<HeadlessConnection>> open;
    std::ostream* messages = nullptr;
    std::uint64_t accepted = 0;
    std::uint64_t ended = 0;
    bool stopping = false;
    ExitCode exitCode = ExitCode::Done;
};
