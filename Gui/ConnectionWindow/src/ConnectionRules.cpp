#include "ConnectionRules.h"

#include "Conversation.h"
#include "Http.h"
#include "Latin1.h"
#include "SavedReplyRule.h"

namespace
{
bool isHttp(Conversation& conversation)
{
    return dynamic_cast<Http*>(&conversation.protocol()) != nullptr;
}
}

void ConnectionRules::startAnswering(Conversation& conversation)
{
    const RuleBook::Answering answer = RuleBook::shared().answering(
        true, autoReplyRule(ReplyLibrary::shared().autoReply(), isHttp(conversation), Pieces()));
    conversation.useRules(answer.rules, answer.sharedHits, RuleBook::shared().unconsumedLimit());
}

ConnectionRules::ConnectionRules(Conversation& conversation, QObject* parent)
    : QObject(parent)
    , conversation(conversation)
    , http(isHttp(conversation))
    , autoReplyChoice(ReplyLibrary::shared().autoReply())
{
    connect(&RuleBook::shared(), &RuleBook::rulesChanged, this, &ConnectionRules::apply);
    connect(&ReplyLibrary::shared(), &ReplyLibrary::repliesChanged, this, &ConnectionRules::onRepliesChanged);
    // The choices may have changed since the connection came.
    if (chosen().rules != conversation.rulesGiven())
        apply();
    else
        anyRule = conversation.rulesGiven() && conversation.rulesGiven()->size() > 0;
}

void ConnectionRules::setBookRulesOn(bool on)
{
    if (on == bookRules)
        return;
    bookRules = on;
    apply();
}

void ConnectionRules::setAutoReply(const ReplyLibrary::AutoReplyChoice& choice)
{
    if (choice.enabled == autoReplyChoice.enabled && choice.trigger == autoReplyChoice.trigger
        && choice.replyName == autoReplyChoice.replyName)
        return;
    autoReplyChoice = choice;
    apply();
}

void ConnectionRules::setPieces(std::size_t pieceSize, std::chrono::milliseconds delay)
{
    if (pieceSize == pieces.size && delay == pieces.delay)
        return;
    pieces = Pieces{pieceSize, delay};
    if (autoReplyChoice.enabled)
        apply();
}

std::optional<Rule> ConnectionRules::autoReplyRule(const ReplyLibrary::AutoReplyChoice& choice, bool http,
                                                   const Pieces& pieces)
{
    if (!choice.enabled)
        return std::nullopt;
    const SavedReply* reply = ReplyLibrary::shared().replies().find(choice.replyName);
    if (!reply)
        return std::nullopt;
    Rule rule =
        SavedReplyRule::autoReply(*reply, choice.trigger == ReplyLibrary::AutoReplyTrigger::EachConnection, http);
    if (pieces.size > 0) {
        Action& send = rule.actions.front();
        send.kind = ActionKind::SendInPieces;
        send.pieceSize = pieces.size;
        send.duration = pieces.delay;
    }
    return rule;
}

RuleBook::Answering ConnectionRules::chosen() const
{
    return RuleBook::shared().answering(bookRules, autoReplyRule(autoReplyChoice, http, pieces));
}

void ConnectionRules::apply()
{
    const RuleBook::Answering answer = chosen();
    anyRule = answer.rules->size() > 0;
    if (answer.rules != conversation.rulesGiven())
        conversation.replaceRules(answer.rules, answer.sharedHits);
}

// Answering with a reply that is gone would only fail, again and again; an
// edited one answers as it is now.
void ConnectionRules::onRepliesChanged()
{
    if (!autoReplyChoice.enabled)
        return;
    if (!ReplyLibrary::shared().replies().find(autoReplyChoice.replyName)) {
        autoReplyChoice.enabled = false;
        conversation.addNote(QStringLiteral("[Auto-reply is off: the saved reply %1 was deleted]")
                                 .arg(Latin1::toQString(autoReplyChoice.replyName))
                                 .toStdString());
        emit autoReplyTurnedOff();
    }
    apply();
}

QString ConnectionRules::unmatchedText() const
{
    const auto counters = conversation.ruleCounters();
    if (!anyRule || !counters)
        return QString();
    // Bytes still waiting have matched nothing so far either, and may never.
    QString text = QStringLiteral("Matched no rule: %1 bytes").arg(counters->unmatchedBytes());
    if (const std::uint64_t waiting = counters->waitingBytes(); waiting > 0)
        text += QStringLiteral(", %1 waiting").arg(waiting);
    return text;
}
