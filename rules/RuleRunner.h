#pragma once

#include "ConnectionActions.h"
#include "RuleCounters.h"
#include "RuleMatcher.h"
#include "RuleSet.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Answers one connection by rules. Received bytes go to a RuleMatcher; each
// match that fires runs its rule's actions once, in order, through
// ConnectionActions, every step with a note. A wait holds the sequence on a
// timer of the given executor, and the matches that come meanwhile queue
// behind it in order. At maxQueuedMatches waiting sequences matching pauses
// (with a note): the bytes stay unconsumed, under the buffer's limit, until
// a sequence has finished. What is sent is never matched, so no rule can
// trigger itself.
//
// Everything, its destruction included, happens on the executor's strand,
// the connection's. Nothing it does throws out of it.
class RuleRunner
{
public:
    struct Options
    {
        // The listening port the connection was accepted on, for rules
        // limited to one port; 0 if unknown (such rules then never apply).
        std::uint16_t listeningPort = 0;
        std::size_t bufferLimit = 64 * 1024;
        std::size_t maxQueuedMatches = 64;
        // Also counts the hits (of rules below its count) of every
        // connection that runs the same rule list, for whoever shows them.
        std::shared_ptr<RuleCounters> sharedHits;
        // Unmatched bytes of the connection counted before this runner took
        // it over (by an earlier rule list).
        std::uint64_t unmatchedBefore = 0;
    };

    RuleRunner(std::shared_ptr<const RuleSet> rules, boost::asio::any_io_executor executor,
               ConnectionActions& actions, Options options);
    RuleRunner(std::shared_ptr<const RuleSet> rules, boost::asio::any_io_executor executor,
               ConnectionActions& actions);
    RuleRunner(const RuleRunner&) = delete;
    RuleRunner& operator=(const RuleRunner&) = delete;

    void onConnected();
    void onReceived(const char* data, std::size_t size);
    // Cancels the timers and the queue: no action after this.
    void onClosed();

    std::shared_ptr<const RuleCounters> counters() const { return tally; }
    // For a runner that takes the connection over: the bytes received and
    // not consumed, the matches whose actions have not all run, and the
    // unmatched bytes so far.
    std::string_view unconsumed() const { return matcher.waiting(); }
    std::size_t pendingMatches() const { return queue.size(); }
    std::uint64_t unmatchedBytes() const { return options.unmatchedBefore + matcher.unmatchedBytes(); }

private:
    static constexpr std::size_t noGroup = static_cast<std::size_t>(-1);

    // One match's actions; the captures are kept as a copy of $0 and the
    // groups' places in it.
    struct Firing
    {
        std::size_t rule = 0;
        std::string matched;
        std::vector<std::pair<std::size_t, std::size_t>> groups;
        std::size_t nextAction = 0;
    };

    template <typename Work>
    void guarded(Work&& work);
    void pump();
    void enqueue(std::size_t rule, const RuleMatcher::Match* match);
    void notePassed(const RuleMatcher::Match& match);
    void runNextStep();
    void perform(const Firing& firing, std::size_t index);
    bool expand(const Firing& firing, std::size_t index, std::string& bytes);
    void startWait(std::chrono::milliseconds duration);
    void noteDropped(std::size_t dropped, bool flush);
    void publishCounters();
    void stop();
    const std::string& label(std::size_t rule) const;

    std::shared_ptr<const RuleSet> rules;
    ConnectionActions& actions;
    Options options;
    RuleMatcher matcher;
    std::shared_ptr<RuleCounters> tally;
    boost::asio::steady_timer timer;
    std::shared_ptr<char> alive = std::make_shared<char>();

    std::deque<Firing> queue;
    bool waiting = false;
    bool pumping = false;
    bool stopped = false;
    bool closed = false;
    bool pauseNoted = false;
    std::uint64_t droppedUnnoted = 0;
    std::int64_t lastDropNoteMs = 0;
    bool droppedBefore = false;
};
