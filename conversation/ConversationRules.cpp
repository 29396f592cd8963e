#include "ConversationRules.h"

#include "Conversation.h"

ConversationRules::ConversationRules(std::shared_ptr<const RuleSet> rules, std::weak_ptr<Conversation> conversation,
                                     const Session::Executor& executor, RuleRunner::Options options)
    : conversation(std::move(conversation))
    , pauseTimer(executor)
    , runner(std::move(rules), executor, *this, options)
{
}

void ConversationRules::onConnected()
{
    if (enabled)
        runner.onConnected();
}

void ConversationRules::onReceived(const char* data, std::size_t size)
{
    if (enabled && !closed)
        runner.onReceived(data, size);
}

void ConversationRules::onClosed()
{
    if (closed)
        return;
    closed = true;
    runner.onClosed();
    pauseTimer.cancel();
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
