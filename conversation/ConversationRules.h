#pragma once

#include "ConnectionActions.h"
#include "RuleRunner.h"
#include "Session.h"

#include <boost/asio/steady_timer.hpp>

#include <memory>

class Conversation;

// The rules that answer one conversation, run on its strand: received bytes
// go to a RuleRunner, whose actions become the conversation's sends, notes
// and pauses. Strand only, its destruction included. It holds the
// conversation weakly: an action that comes while the conversation goes does
// nothing.
class ConversationRules : private ConnectionActions
{
public:
    ConversationRules(std::shared_ptr<const RuleSet> rules, std::weak_ptr<Conversation> conversation,
                      const Session::Executor& executor, RuleRunner::Options options);
    ~ConversationRules() override;

    void onConnected();
    void onReceived(const char* data, std::size_t size);
    // No action after this.
    void onClosed();
    // Off: received bytes are not looked at (and not counted).
    void setEnabled(bool on) { enabled = on; }
    // Another rule list answers from now on. The bytes not yet consumed are
    // matched against it at once; matches whose actions were still waiting
    // are dropped, with a note. Counting the Nth time starts anew.
    void replace(std::shared_ptr<const RuleSet> rules, std::shared_ptr<RuleCounters> sharedHits);

    std::shared_ptr<const RuleCounters> counters() const { return runner->counters(); }

private:
    // What the runner acts through: this, seen as its private base.
    ConnectionActions& actions() { return *this; }
    void sendBytes(std::string bytes) override;
    void sendInPieces(std::string bytes, std::size_t pieceSize, std::chrono::milliseconds delay) override;
    void sendFile(const std::string& path) override;
    void closeSending() override;
    void reset() override;
    void pauseReading(std::chrono::milliseconds duration) override;
    void note(const std::string& text) override;

    std::weak_ptr<Conversation> conversation;
    Session::Executor executor;
    RuleRunner::Options options;
    boost::asio::steady_timer pauseTimer;
    std::unique_ptr<RuleRunner> runner;
    bool enabled = true;
    bool closed = false;
};
