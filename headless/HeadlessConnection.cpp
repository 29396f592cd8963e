#include "HeadlessConnection.h"

#include "Conversation.h"

#include <boost/asio/post.hpp>

namespace
{
std::shared_ptr<Conversation> conversationFor(boost::shared_ptr<ProtocolBase> protocol,
                                              const HeadlessConnection::Settings& settings)
{
    std::shared_ptr<Conversation> conversation = Conversation::create(std::move(protocol), settings.transcript);
    if (settings.rules)
        conversation->useRules(settings.rules);
    return conversation;
}
}

HeadlessConnection::HeadlessConnection(boost::asio::io_context& context, std::uint64_t number,
                                       boost::shared_ptr<ProtocolBase> protocol, const Settings& settings)
    : context(context)
    , id(number)
    , conversation(conversationFor(std::move(protocol), settings))
    , report(context, number, conversation, settings.rules, settings.stream)
    , endingTimer(context)
    , folder(settings.folder)
{
}

HeadlessConnection::~HeadlessConnection()
{
    conversation->unwatch();
}

std::string HeadlessConnection::start(std::function<void()> changed, std::function<void(std::uint64_t)> ended)
{
    changedCall = std::move(changed);
    endedCall = std::move(ended);
    // The watcher runs on an IO thread: it only brings the news here, where
    // it is looked at once the files are made. Reading starts meanwhile.
    conversation->watch([&context = context, self = weak_from_this()] {
        boost::asio::post(context, [self] {
            if (const auto connection = self.lock())
                connection->update();
        });
    });
    const std::int64_t startUs = Transcript::nowUs();
    conversation->start();
    return report.start(folder, startUs);
}

void HeadlessConnection::update()
{
    if (phase == Phase::Ended)
        return;
    conversation->acknowledge();
    report.update();
    if (changedCall)
        changedCall();
    checkEnd();
}

void HeadlessConnection::checkEnd()
{
    const Conversation::State state = conversation->state();
    if (phase == Phase::Open && state.readEnded && !sendsQueued()) {
        if (!state.tlsFailure.empty()) {
            close("tls_failed");
            return;
        }
        if (state.sendingClosed || state.resetByServer || !state.canSend) {
            close(state.resetByServer || !state.readEndReason.empty() ? "reset" : "ended");
            return;
        }
        phase = Phase::EndingSending;
        conversation->closeSending();
        endingTimer.expires_after(endingTimeLimit);
        endingTimer.async_wait([self = weak_from_this()](const boost::system::error_code& error) {
            if (const auto connection = self.lock(); connection && !error)
                connection->close("ended");
        });
        return;
    }
    if (phase == Phase::EndingSending && (state.sendingClosed || state.resetByServer || !state.readEndReason.empty()))
        close(state.sendingClosed ? "ended" : "reset");
}

bool HeadlessConnection::sendsQueued() const
{
    for (const SendLedger::Entry& entry : conversation->sends()) {
        if (entry.state == SendLedger::State::Queued)
            return true;
    }
    return false;
}

// What the connection reported before its close is recorded on its strand:
// once a hop there has come back, the record is complete.
void HeadlessConnection::close(const std::string& how)
{
    if (closing())
        return;
    phase = Phase::Closing;
    endingTimer.cancel();
    conversation->close();
    boost::asio::post(conversation->protocol().getExecutor(), [&context = context, self = shared_from_this(), how] {
        boost::asio::post(context, [self, how] { self->finishClosing(how); });
    });
}

void HeadlessConnection::finishClosing(const std::string& how)
{
    conversation->unwatch();
    phase = Phase::Ended;
    report.finish(how);
    if (endedCall)
        endedCall(id);
}
