#pragma once

#include "ReplyLibrary.h"
#include "RuleBook.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <cstddef>
#include <optional>

class Conversation;

// Which rules answer one connection: the Rules window's (unless its window
// switches them off) followed by the window's auto-reply, a rule too. They
// run on the connection's strand; this only chooses them, and follows the
// Rules window and the saved replies as they change. GUI thread.
class ConnectionRules : public QObject
{
    Q_OBJECT

public:
    // At accept, before the conversation starts: the Rules window's rules
    // and auto-reply as new windows start with it.
    static void startAnswering(Conversation& conversation);

    // Takes over whatever startAnswering chose, and the auto-reply choice of
    // new windows.
    ConnectionRules(Conversation& conversation, QObject* parent);

    bool bookRulesOn() const { return bookRules; }
    static bool bookHasRules() { return !RuleBook::shared().rules().empty(); }
    void setBookRulesOn(bool on);
    const ReplyLibrary::AutoReplyChoice& autoReply() const { return autoReplyChoice; }
    void setAutoReply(const ReplyLibrary::AutoReplyChoice& choice);
    // Auto-reply goes out in pieces of pieceSize bytes every delay, as the
    // window's other replies do; a pieceSize of 0 sends it whole.
    void setPieces(std::size_t pieceSize, std::chrono::milliseconds delay);

    // What the window shows of them: how many received bytes no rule
    // consumed; empty while no rule could answer.
    QString unmatchedText() const;

signals:
    // Its saved reply was deleted.
    void autoReplyTurnedOff();

private:
    struct Pieces
    {
        std::size_t size = 0;
        std::chrono::milliseconds delay{0};
    };

    static std::optional<Rule> autoReplyRule(const ReplyLibrary::AutoReplyChoice& choice, bool http,
                                             const Pieces& pieces);
    RuleBook::Answering chosen() const;
    void apply();
    void onRepliesChanged();

    Conversation& conversation;
    const bool http;
    bool bookRules = true;
    ReplyLibrary::AutoReplyChoice autoReplyChoice;
    Pieces pieces;
    bool anyRule = false;
};
