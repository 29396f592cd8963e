#include "ConversationRules.h"

#include "Conversation.h"

ConversationRules::ConversationRules(std::shared_ptr<const RuleSet> rules, std::weak_ptr<Conversation> conversation,
                                     const Session::Executor& executor, RuleRunner::Options options)
    : conversation(std::move(conversation))
    , executor(executor)
    , options(options)
    , pauseTimer(executor)
    , runner(std::make_unique<RuleRunner>(std::move(rules), executor, actions(), options))
{
}

ConversationRules::~ConversationRules() = default;

void ConversationRules::onConnected()
{
    if (enabled)
        runner->onConnected();
}

void ConversationRules::onReceived(const char* data, std::size_t size)
{
    if (enabled && !closed)
        runner->onReceived(data, size);
}

void ConversationRules::onClosed()
{
    if (closed)
        return;
    closed = true;
    runner->onClosed();
    pauseTimer.cancel();
}

void ConversationRules::replace(std::shared_ptr<const RuleSet> rules, std::shared_ptr<RuleCounters> sharedHits)
{
    if (closed)
        return;
    if (const std::size_t pending = runner->pendingMatches(); pending > 0)
        note("the rules changed: the actions still to run for " + std::to_string(pending)
             + (pending == 1 ? " match were" : " matches were") + " dropped");
    const std::string carried(runner->unconsumed());
    RuleRunner::Options next = options;
    next.sharedHits = std::move(sharedHits);
    next.unmatchedBefore = runner->unmatchedBytes() + (enabled ? 0 : carried.size());
    // The old runner goes first: its timers end, and none of its actions can follow the new one's.
    runner.reset();
    runner = std::make_unique<RuleRunner>(std::move(rules), executor, actions(), next);
    if (enabled && !carried.empty())
        runner->onReceived(carried.data(), carried.size());
}

void ConversationRules::sendBytes(std::string bytes)
{
    if (const auto target = conversation.lock())
        target->send(std::move(bytes));
}

void ConversationRules::sendInPieces(std::string bytes, std::size_t pieceSize, std::chrono::milliseconds delay)
{
    std::string error;
    if (const auto target = conversation.lock(); target && target->sendInPieces(std::move(bytes), pieceSize, delay, error) == 0)
        target->addNote(error);
}

void ConversationRules::sendFile(const std::string& path)
{
    std::string error;
    if (const auto target = conversation.lock(); target && target->sendFile(path, error) == 0)
        target->addNote("[Couldn't send " + path + ": " + error + "]");
}

void ConversationRules::closeSending()
{
    if (const auto target = conversation.lock())
        target->closeSending();
}

void ConversationRules::reset()
{
    if (const auto target = conversation.lock())
        target->reset();
}

// Reading stops for a while; a pause for the transcript's file holds it
// longer if it must.
void ConversationRules::pauseReading(std::chrono::milliseconds duration)
{
    const auto target = conversation.lock();
    if (!target)
        return;
    target->holdReading(Conversation::Hold::Rules);
    pauseTimer.expires_after(duration);
    pauseTimer.async_wait([weak = conversation](const boost::system::error_code&) {
        if (const auto held = weak.lock())
            held->releaseReading(Conversation::Hold::Rules);
    });
}

void ConversationRules::note(const std::string& text)
{
    if (const auto target = conversation.lock())
        target->addNote("[" + text + "]");
}
