#include "RuleTestSupport.h"

#include <algorithm>

namespace RuleTest
{
Action reply(const std::string& text, InputMode mode)
{
    Action action;
    action.kind = ActionKind::Reply;
    action.reply.text = text;
    action.reply.mode = mode;
    return action;
}

Action waitMs(int milliseconds)
{
    Action action;
    action.kind = ActionKind::Wait;
    action.duration = std::chrono::milliseconds(milliseconds);
    return action;
}

Action simple(ActionKind kind)
{
    Action action;
    action.kind = kind;
    return action;
}

Rule rule(const std::string& name, ConditionKind kind, const std::string& value, std::vector<Action> actions,
          unsigned nth)
{
    Rule result;
    result.name = name;
    result.condition.kind = kind;
    result.condition.value = value;
    result.condition.mode = kind == ConditionKind::Regex || kind == ConditionKind::HexBytes ? InputMode::Text
                                                                                           : InputMode::Escapes;
    result.condition.nth = nth;
    result.actions = std::move(actions);
    return result;
}

bool runUntil(boost::asio::io_context& io, const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!done() && Clock::now() < deadline) {
        if (io.stopped())
            io.restart();
        io.run_one_for(10ms);
    }
    return done();
}

void FakeActions::sendBytes(std::string bytes)
{
    sent += bytes;
    sendTimes.push_back(Clock::now());
}

void FakeActions::sendInPieces(std::string bytes, std::size_t pieceSize, std::chrono::milliseconds delay)
{
    events.push_back("pieces " + std::to_string(pieceSize) + " " + std::to_string(delay.count()));
    sendBytes(std::move(bytes));
}

void FakeActions::sendFile(const std::string& path)
{
    events.push_back("file " + path);
}

void FakeActions::closeSending()
{
    events.push_back("close sending");
}

void FakeActions::reset()
{
    events.push_back("reset");
}

void FakeActions::pauseReading(std::chrono::milliseconds duration)
{
    events.push_back("pause " + std::to_string(duration.count()));
}

void FakeActions::note(const std::string& text)
{
    notes.push_back(text);
}

bool FakeActions::hasNote(const std::string& text) const
{
    return std::find(notes.begin(), notes.end(), text) != notes.end();
}
}
