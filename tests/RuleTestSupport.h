#pragma once

#include "ConnectionActions.h"
#include "Rule.h"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// Rules written briefly, a ConnectionActions that records what rules do, and
// a loop that runs an io_context on the test's own thread.
namespace RuleTest
{
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

Action reply(const std::string& text, InputMode mode = InputMode::Escapes);
Action waitMs(int milliseconds);
Action simple(ActionKind kind);
Rule rule(const std::string& name, ConditionKind kind, const std::string& value, std::vector<Action> actions,
          unsigned nth = 0);

// Runs handlers until done() holds or timeout passes; true if it holds.
bool runUntil(boost::asio::io_context& io, const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s);

class FakeActions : public ConnectionActions
{
public:
    void sendBytes(std::string bytes) override;
    void sendInPieces(std::string bytes, std::size_t pieceSize, std::chrono::milliseconds delay) override;
    void sendFile(const std::string& path) override;
    void closeSending() override;
    void reset() override;
    void pauseReading(std::chrono::milliseconds duration) override;
    void note(const std::string& text) override;

    bool hasNote(const std::string& text) const;

    // Everything sent, in order, and when each send was made.
    std::string sent;
    std::vector<Clock::time_point> sendTimes;
    // "reset", "close sending", "file PATH", "pause 500", "pieces 4 50"
    std::vector<std::string> events;
    std::vector<std::string> notes;
};
}
