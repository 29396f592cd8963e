#include "RuleRunner.h"

#include "Log.h"
#include "MonotonicClock.h"

#include <algorithm>
#include <exception>

namespace
{
constexpr std::int64_t dropNoteIntervalMs = 1000;
}

RuleRunner::RuleRunner(std::shared_ptr<const RuleSet> ruleSet, boost::asio::any_io_executor executor,
                       ConnectionActions& connectionActions)
    : RuleRunner(std::move(ruleSet), std::move(executor), connectionActions, Options())
{
}

RuleRunner::RuleRunner(std::shared_ptr<const RuleSet> ruleSet, boost::asio::any_io_executor executor,
                       ConnectionActions& connectionActions, Options runnerOptions)
    : rules(std::move(ruleSet))
    , actions(connectionActions)
    , options(runnerOptions)
    , matcher(rules, options.listeningPort, options.bufferLimit)
    , tally(std::make_shared<RuleCounters>(rules->size()))
    , timer(std::move(executor))
{
    options.maxQueuedMatches = std::max<std::size_t>(options.maxQueuedMatches, 1);
}

template <typename Work>
void RuleRunner::guarded(Work&& work)
{
    try {
        work();
    } catch (const std::exception& error) {
        Log::line("Rules: ", error.what());
        try {
            actions.note(std::string("rules: ") + error.what());
        } catch (...) {
        }
    } catch (...) {
        Log::line("Rules: unknown error");
    }
}

void RuleRunner::onConnected()
{
    guarded([this] {
        const std::size_t rule = matcher.connectRule();
        if (stopped || rule == RuleMatcher::none)
            return;
        enqueue(rule, nullptr);
        pump();
    });
}

void RuleRunner::onReceived(const char* data, std::size_t size)
{
    guarded([&] {
        std::size_t dropped = 0;
        while (size > 0 && !stopped) {
            const std::size_t slice = std::min(size, matcher.bufferLimit());
            matcher.append(data, slice);
            pump();
            dropped += matcher.trim();
            data += slice;
            size -= slice;
        }
        noteDropped(dropped, false);
        publishCounters();
    });
}

void RuleRunner::onClosed()
{
    guarded([this] {
        if (closed)
            return;
        closed = true;
        noteDropped(0, true);
        stop();
        tally->setBytes(unmatchedBytes() + matcher.waitingBytes(), 0);
    });
}

void RuleRunner::stop()
{
    stopped = true;
    queue.clear();
    timer.cancel();
}

void RuleRunner::pump()
{
    if (pumping)
        return;
    pumping = true;
    struct Reset
    {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{pumping};
    while (!stopped) {
        if (!waiting && !queue.empty()) {
            runNextStep();
            continue;
        }
        if (queue.size() >= options.maxQueuedMatches) {
            if (!pauseNoted && matcher.waitingBytes() > 0)
                actions.note("rule matching paused: " + std::to_string(queue.size())
                             + " matches wait for their actions");
            pauseNoted = true;
            break;
        }
        pauseNoted = false;
        const std::optional<RuleMatcher::Match> match = matcher.next();
        if (!match)
            break;
        if (match->outcome == RuleMatcher::Match::Outcome::Passed)
            notePassed(*match);
        else
            enqueue(match->rule, &*match);
    }
}

void RuleRunner::enqueue(std::size_t rule, const RuleMatcher::Match* match)
{
    tally->addHit(rule);
    if (options.sharedHits && rule < options.sharedHits->ruleCount())
        options.sharedHits->addHit(rule);
    Firing firing;
    firing.rule = rule;
    if (match && !match->captures.empty()) {
        const std::string_view whole = match->captures.front();
        firing.matched.assign(whole.data(), whole.size());
        for (const std::string_view group : match->captures)
            firing.groups.emplace_back(group.data() ? static_cast<std::size_t>(group.data() - whole.data()) : noGroup,
                                       group.size());
    }
    queue.push_back(std::move(firing));
}

void RuleRunner::notePassed(const RuleMatcher::Match& match)
{
    const unsigned nth = rules->definition(match.rule).condition.nth;
    actions.note(label(match.rule) + " matched (" + std::to_string(match.count) + " of " + std::to_string(nth)
                 + "): it fires on match " + std::to_string(nth) + "; the bytes stay for the rules below");
}

void RuleRunner::runNextStep()
{
    Firing& firing = queue.front();
    const std::vector<Action>& steps = rules->definition(firing.rule).actions;
    if (steps.empty())
        actions.note(label(firing.rule) + " matched: it has no actions");
    if (firing.nextAction >= steps.size()) {
        queue.pop_front();
        return;
    }
    const std::size_t index = firing.nextAction++;
    const std::size_t rule = firing.rule;
    try {
        perform(firing, index);
    } catch (const std::exception& error) {
        Log::line("Rules: ", label(rule), " could not act: ", error.what());
        actions.note(label(rule) + " could not act: " + error.what());
    }
}

void RuleRunner::perform(const Firing& firing, std::size_t index)
{
    const Action& action = rules->definition(firing.rule).actions[index];
    const std::string& who = label(firing.rule);
    std::string bytes;
    switch (action.kind) {
    case ActionKind::Reply:
        if (expand(firing, index, bytes)) {
            actions.note(who + " replied " + std::to_string(bytes.size()) + " bytes");
            actions.sendBytes(std::move(bytes));
        }
        break;
    case ActionKind::SendInPieces:
        if (expand(firing, index, bytes)) {
            actions.note(who + " sends " + std::to_string(bytes.size()) + " bytes in pieces of "
                         + std::to_string(action.pieceSize) + " every " + std::to_string(action.duration.count())
                         + " ms");
            actions.sendInPieces(std::move(bytes), action.pieceSize, action.duration);
        }
        break;
    case ActionKind::Wait:
        actions.note(who + " waits " + std::to_string(action.duration.count()) + " ms");
        startWait(action.duration);
        break;
    case ActionKind::SendFile:
        actions.note(who + " sends the file " + action.path);
        actions.sendFile(action.path);
        break;
    case ActionKind::CloseSending:
        actions.note(who + " closed sending");
        actions.closeSending();
        break;
    case ActionKind::Reset:
        actions.note(who + " reset the connection");
        stop();
        actions.reset();
        break;
    case ActionKind::PauseReading:
        actions.note(who + " paused reading for " + std::to_string(action.duration.count()) + " ms");
        actions.pauseReading(action.duration);
        break;
    }
}

bool RuleRunner::expand(const Firing& firing, std::size_t index, std::string& bytes)
{
    std::vector<std::string_view> captures;
    for (const auto& [offset, length] : firing.groups)
        captures.push_back(offset == noGroup ? std::string_view()
                                             : std::string_view(firing.matched).substr(offset, length));
    std::string error;
    if (rules->compiled(firing.rule).replies[index].expand(captures, bytes, error))
        return true;
    actions.note(label(firing.rule) + " did not reply: " + error);
    return false;
}

void RuleRunner::startWait(std::chrono::milliseconds duration)
{
    waiting = true;
    timer.expires_after(duration);
    timer.async_wait([this, token = std::weak_ptr<char>(alive)](const boost::system::error_code& error) {
        if (token.expired() || error || stopped)
            return;
        guarded([this] {
            waiting = false;
            pump();
            publishCounters();
        });
    });
}

void RuleRunner::noteDropped(std::size_t dropped, bool flush)
{
    droppedUnnoted += dropped;
    if (droppedUnnoted == 0)
        return;
    const std::int64_t now = monotonicMs();
    if (!flush && droppedBefore && now - lastDropNoteMs < dropNoteIntervalMs)
        return;
    actions.note("rule matching dropped the oldest " + std::to_string(droppedUnnoted)
                 + " unconsumed bytes (it keeps " + std::to_string(matcher.bufferLimit()) + ")");
    droppedUnnoted = 0;
    droppedBefore = true;
    lastDropNoteMs = now;
}

void RuleRunner::publishCounters()
{
    tally->setBytes(unmatchedBytes(), matcher.waitingBytes());
}

const std::string& RuleRunner::label(std::size_t rule) const
{
    return rules->compiled(rule).label;
}
