#pragma once

#include "ChangeNotifier.h"
#include "ProtocolBase.h"
#include "RuleCounters.h"
#include "RuleRunner.h"
#include "ConversationSends.h"
#include "ConversationState.h"
#include "Transcript.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/connection.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// One TCP connection, whatever shows it: its transcript (every byte both
// ways, and what happened besides, in the order it happened on the wire),
// one ledger entry per send, the connection's state, and the actions on it.
//
// Everything the connection reports arrives on its IO strand and is recorded
// there, so the record's order is the wire's: a reply is recorded when its
// write ends, after whatever was received before, and how a send went is
// noted right after its bytes. Actions may be taken from any thread.
//
// Whoever shows the conversation watches it: the watcher is called (on
// whichever thread made the change) once, and not again until acknowledge().
// A watcher that reads everything it needs after acknowledging misses
// nothing.
class ConversationRules;
class RuleSet;

class Conversation : public std::enable_shared_from_this<Conversation>
{
public:
    // Why reading waits; it goes on once nothing holds it. Storage: the
    // transcript's file cannot be written, or the disk reserve would not be
    // kept; Files: copies of the transcript kept elsewhere cannot be written;
    // Cap: the transcript holds all it may keep.
    enum class Hold : unsigned { Storage = 1, Rules = 2, Files = 4, Cap = 8 };

    using Pause = ConversationState::Pause;
    using State = ConversationState;

    // While the transcript's file cannot be written, how often it is tried again.
    static constexpr std::chrono::milliseconds storageRetryInterval{1000};

    static std::shared_ptr<Conversation> create(boost::shared_ptr<ProtocolBase> protocol,
                                                const TranscriptLimits& limits = TranscriptLimits());
    ~Conversation();

    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;

    // Rules answer the client from the start: to be called before start().
    // sharedHits, if given, counts the hits of every connection that runs
    // the same rules; at most unconsumedLimit received bytes wait for a
    // match (see RuleRunner::Options).
    void useRules(std::shared_ptr<const RuleSet> rules, std::shared_ptr<RuleCounters> sharedHits = nullptr,
                  std::size_t unconsumedLimit = RuleRunner::Options().bufferLimit);
    // Any thread, after useRules: other rules answer from now on (see
    // ConversationRules::replace).
    void replaceRules(std::shared_ptr<const RuleSet> rules, std::shared_ptr<RuleCounters> sharedHits = nullptr);
    // Any thread: whether the rules look at what comes from now on.
    void setRulesEnabled(bool on);
    // Null without rules. Any thread; another object once the rules were replaced.
    std::shared_ptr<const RuleCounters> ruleCounters() const;
    // The rules given last (they may still be on their way to the strand).
    std::shared_ptr<const RuleSet> rulesGiven() const;

    // Starts reading. Everything the connection reports is recorded from here on.
    void start();
    // Closes the connection; nothing is recorded afterwards.
    void close();

    // The sends: the bytes as they go on the wire. Each returns the send's
    // number in the ledger, or 0 when nothing was sent (error says why).
    std::uint64_t send(std::string bytes);
    std::uint64_t sendInPieces(std::string bytes, std::size_t pieceSize, std::chrono::milliseconds delay,
                               std::string& error);
    // The file as it is when its turn comes, up to its present size; for
    // HTTP after a response header.
    std::uint64_t sendFile(const std::string& path, std::string& error);
    // Once what was sent before has gone out, the client reads the end of the stream.
    void closeSending();
    // The client sees a reset; queued sends fail.
    void reset();
    // A note in the transcript, after what has happened so far.
    void addNote(std::string text);
    // Any thread: reading stops while anything holds it.
    void holdReading(Hold why);
    void releaseReading(Hold why);

    const Transcript& transcript() const { return *record; }
    std::shared_ptr<const Transcript> sharedTranscript() const { return record; }
    State state() const;
    std::vector<SendLedger::Entry> sends() const;
    SendLedger::Entry sendEntry(std::uint64_t id) const;
    ProtocolBase& protocol() const { return *connection; }
    const boost::shared_ptr<ProtocolBase>& sharedProtocol() const { return connection; }
    const std::string& endpoint() const { return endpointText; }
    // Whether the client reached a TLS listener, and what its handshake
    // negotiated: null until it succeeded.
    bool usesTls() const { return connection->usesTls(); }
    std::shared_ptr<const ConnectionDetails> tlsDetails() const { return connection->getTlsDetails(); }

    void watch(std::function<void()> changed);
    // Waits for a call of the watcher in progress; none comes afterwards.
    void unwatch();
    void acknowledge();

private:
    Conversation(boost::shared_ptr<ProtocolBase> protocol, const TranscriptLimits& limits);

    void subscribe();
    void onReceived(const std::string& data);
    void onWritten(std::uint64_t id, const std::string& bytes);
    void onSendFinished(std::uint64_t id, const std::string& error);
    void onSessionEvent(Session::Event event, const std::string& detail);
    void recordChunk(const std::string& data);
    void followLimits();
    void pauseForStorage();
    void pauseAtCap();
    void retryStorageLater();
    void retryStorage();
    void noteSendOutcome(const SendLedger::Entry& entry);
    void addEvent(EventKind kind, std::string text, std::string bytes = std::string());
    void changed();

    const boost::shared_ptr<ProtocolBase> connection;
    const std::shared_ptr<Transcript> record;
    const std::string endpointText;

    // Guards the state and the reading holds.
    mutable std::mutex mutex;
    State current;
    ConversationSends outgoing;

    ChangeNotifier notifier;

    // On the connection's strand.
    boost::asio::steady_timer storageRetry;
    // Made before start() and used on the strand only; destroyed there too.
    std::unique_ptr<ConversationRules> rules;
    std::shared_ptr<const RuleCounters> rulesCounters; // under mutex
    std::shared_ptr<const RuleSet> lastRulesGiven;     // under mutex
    unsigned readingHolds = 0; // under mutex
    bool storagePaused = false;  // under mutex

    boost::signals2::scoped_connection readConnection;
    boost::signals2::scoped_connection writtenConnection;
    boost::signals2::scoped_connection resultConnection;
    boost::signals2::scoped_connection eventConnection;
};
