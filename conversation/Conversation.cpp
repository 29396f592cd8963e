#include "Conversation.h"

#include "ByteEscaper.h"
#include "Log.h"
#include "NumberText.h"
#include "ConversationRules.h"
#include "SendNotes.h"
#include "SessionEventNotes.h"

#include <boost/asio/post.hpp>
#include <boost/bind/bind.hpp>

std::shared_ptr<Conversation> Conversation::create(boost::shared_ptr<ProtocolBase> protocol,
                                                   const TranscriptLimits& limits)
{
    return std::shared_ptr<Conversation>(new Conversation(std::move(protocol), limits));
}

Conversation::Conversation(boost::shared_ptr<ProtocolBase> protocol, const TranscriptLimits& limits)
    : connection(std::move(protocol))
    , record(std::make_shared<Transcript>(limits))
    , endpointText(connection->getEndpointString())
    , outgoing(connection)
    , storageRetry(connection->getExecutor())
{
}

Conversation::~Conversation()
{
    connection->close();
    if (rules)
        boost::asio::post(storageRetry.get_executor(), [done = std::shared_ptr<ConversationRules>(std::move(rules))] {
            done->onClosed();
        });
}

void Conversation::useRules(std::shared_ptr<const RuleSet> ruleSet, std::shared_ptr<RuleCounters> sharedHits,
                            std::size_t unconsumedLimit)
{
    RuleRunner::Options options;
    options.listeningPort = connection->getListenerEndpoint().port;
    options.sharedHits = std::move(sharedHits);
    options.bufferLimit = unconsumedLimit;
    std::lock_guard<std::mutex> lock(mutex);
    lastRulesGiven = ruleSet;
    rules = std::make_unique<ConversationRules>(std::move(ruleSet), weak_from_this(), connection->getExecutor(),
                                                options);
    rulesCounters = rules->counters();
}

void Conversation::replaceRules(std::shared_ptr<const RuleSet> ruleSet, std::shared_ptr<RuleCounters> sharedHits)
{
    if (!rules)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        lastRulesGiven = ruleSet;
    }
    boost::asio::post(storageRetry.get_executor(), [self = shared_from_this(), ruleSet = std::move(ruleSet),
                                                    sharedHits = std::move(sharedHits)]() mutable {
        self->rules->replace(std::move(ruleSet), std::move(sharedHits));
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->rulesCounters = self->rules->counters();
        }
        self->changed();
    });
}

void Conversation::setRulesEnabled(bool on)
{
    if (rules)
        boost::asio::post(storageRetry.get_executor(), [self = shared_from_this(), on] { self->rules->setEnabled(on); });
}

std::shared_ptr<const RuleCounters> Conversation::ruleCounters() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return rulesCounters;
}

std::shared_ptr<const RuleSet> Conversation::rulesGiven() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return lastRulesGiven;
}

// The slots track this object: a report being delivered on an IO thread keeps
// it alive until the call returns, and none reaches it once it is going.
void Conversation::subscribe()
{
    using namespace boost::placeholders;
    const std::weak_ptr<Conversation> self = weak_from_this();
    using ReadSlot = boost::signals2::signal<void(const std::string&)>::slot_type;
    readConnection = connection->readDataSignal.connect(
        ReadSlot(&Conversation::onReceived, this, _1).track_foreign(self));
    using SendSlot = boost::signals2::signal<void(std::uint64_t, const std::string&)>::slot_type;
    writtenConnection = connection->sentDataSignal.connect(
        SendSlot(&Conversation::onWritten, this, _1, _2).track_foreign(self));
    resultConnection = connection->sendResultSignal.connect(
        SendSlot(&Conversation::onSendFinished, this, _1, _2).track_foreign(self));
    using EventSlot = boost::signals2::signal<void(Session::Event, const std::string&)>::slot_type;
    eventConnection = connection->eventSignal.connect(
        EventSlot(&Conversation::onSessionEvent, this, _1, _2).track_foreign(self));
}

void Conversation::start()
{
    subscribe();
    connection->start();
    if (rules)
        boost::asio::post(storageRetry.get_executor(), [self = shared_from_this()] { self->rules->onConnected(); });
}

void Conversation::close()
{
    readConnection.disconnect();
    writtenConnection.disconnect();
    resultConnection.disconnect();
    eventConnection.disconnect();
    connection->close();
    boost::asio::post(storageRetry.get_executor(), [self = shared_from_this()] {
        self->storageRetry.cancel();
        if (self->rules)
            self->rules->onClosed();
    });
}

std::uint64_t Conversation::send(std::string bytes)
{
    return outgoing.send(std::move(bytes));
}

std::uint64_t Conversation::sendInPieces(std::string bytes, std::size_t pieceSize, std::chrono::milliseconds delay,
                                         std::string& error)
{
    return outgoing.sendInPieces(std::move(bytes), pieceSize, delay, error);
}

std::uint64_t Conversation::sendFile(const std::string& path, std::string& error)
{
    return outgoing.sendFile(path, error);
}

void Conversation::closeSending()
{
    connection->closeSending();
}

void Conversation::reset()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        current.resetByServer = true;
    }
    connection->resetConnection();
}

// Recorded on the strand, so that it keeps its place among what the
// connection reports.
void Conversation::addNote(std::string text)
{
    if (connection->getExecutor().running_in_this_thread()) {
        addEvent(EventKind::Note, std::move(text));
        changed();
        return;
    }
    boost::asio::post(storageRetry.get_executor(), [self = shared_from_this(), text = std::move(text)]() mutable {
        self->addEvent(EventKind::Note, std::move(text));
        self->changed();
    });
}

void Conversation::holdReading(Hold why)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (readingHolds == 0)
        connection->pauseReading();
    readingHolds |= static_cast<unsigned>(why);
}

void Conversation::releaseReading(Hold why)
{
    std::lock_guard<std::mutex> lock(mutex);
    const unsigned before = readingHolds;
    readingHolds &= ~static_cast<unsigned>(why);
    if (before != 0 && readingHolds == 0)
        connection->resumeReading();
}

Conversation::State Conversation::state() const
{
    std::lock_guard<std::mutex> lock(mutex);
    State now = current;
    now.canSend = connection->canSend();
    return now;
}

std::vector<SendLedger::Entry> Conversation::sends() const
{
    return outgoing.all();
}

SendLedger::Entry Conversation::sendEntry(std::uint64_t id) const
{
    return outgoing.entry(id);
}

// IO strand. The empty string means that reading has ended; the session
// has reported why just before.
void Conversation::onReceived(const std::string& data)
{
    Log::line("onReadData: ", data.size());
    if (data.empty()) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            current.readEnded = true;
        }
        if (rules)
            rules->onClosed();
        changed();
        return;
    }
    recordChunk(data);
    if (rules)
        rules->onReceived(data.data(), data.size());
    // After the rules, so that whoever looks finds their counts up to date.
    changed();
}

// The log copy escapes control bytes: a client must not be able to drive the
// user's terminal or split a log line. The log's writer thread does the
// escaping, so reading goes on meanwhile.
void Conversation::recordChunk(const std::string& data)
{
    Log::line("emitting onReadRemoteDataSignal");
    static const std::string logPrefix = "onReadRemoteDataSlot:";
    Log::writeLine(logPrefix, data.data(), data.size(), appendEscaped);
    record->append(Direction::Received, data.data(), data.size(), Transcript::nowUs());
    // The session checks for a pause after this call returns, before it reads again.
    followLimits();
}

void Conversation::followLimits()
{
    if (record->storageFailed())
        pauseForStorage();
    if (record->full())
        pauseAtCap();
}

void Conversation::pauseForStorage()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (storagePaused)
            return;
        storagePaused = true;
        current.readingPaused = true;
        current.storageError = record->storageError();
        if (current.pause != Pause::Cap)
            current.pause = record->reserveReached() ? Pause::DiskReserve : Pause::StorageFailed;
    }
    holdReading(Hold::Storage);
    addEvent(EventKind::ReadingPaused, std::string());
    retryStorageLater();
}

// For good: what the transcript keeps does not shrink.
void Conversation::pauseAtCap()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (current.pause == Pause::Cap)
            return;
        current.readingPaused = true;
        current.pause = Pause::Cap;
    }
    holdReading(Hold::Cap);
    addEvent(EventKind::ReadingPaused, "[Reading paused: this connection's transcript holds its cap of "
                                           + byteSize(record->limitsInUse().keepAtMost) + "; nothing was dropped]");
}

void Conversation::retryStorageLater()
{
    storageRetry.expires_after(storageRetryInterval);
    storageRetry.async_wait([self = weak_from_this()](const boost::system::error_code& error) {
        if (const auto conversation = self.lock(); conversation && !error)
            conversation->retryStorage();
    });
}

void Conversation::retryStorage()
{
    if (!record->retryStorage()) {
        retryStorageLater();
        return;
    }
    bool resumed = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        storagePaused = false;
        current.storageError.clear();
        resumed = current.pause != Pause::Cap;
        if (resumed) {
            current.readingPaused = false;
            current.pause = Pause::None;
        }
    }
    if (resumed)
        addEvent(EventKind::ReadingResumed, std::string());
    releaseReading(Hold::Storage);
    changed();
}

// IO strand: a write has ended; its bytes are what went out.
void Conversation::onWritten(std::uint64_t id, const std::string& bytes)
{
    record->append(Direction::Sent, bytes.data(), bytes.size(), Transcript::nowUs());
    outgoing.wrote(id, bytes.size());
    followLimits();
    changed();
}

void Conversation::onSendFinished(std::uint64_t id, const std::string& error)
{
    const SendLedger::Entry entry = outgoing.finished(id, error);
    if (entry.id != 0)
        noteSendOutcome(entry);
    changed();
}

void Conversation::noteSendOutcome(const SendLedger::Entry& entry)
{
    SendNotes::Note note = SendNotes::about(entry);
    if (!note.text.empty())
        addEvent(note.kind, std::move(note.text), std::move(note.bytes));
}

void Conversation::onSessionEvent(Session::Event event, const std::string& detail)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        current.apply(event, detail);
    }
    const SessionEventNotes::Note note = SessionEventNotes::about(event, detail);
    addEvent(note.kind, note.text);
    if (std::string remark = SessionEventNotes::remark(event, detail); !remark.empty())
        addEvent(EventKind::Note, std::move(remark));
    changed();
}

void Conversation::addEvent(EventKind kind, std::string text, std::string bytes)
{
    record->addEvent(kind, std::move(text), Transcript::nowUs(), std::move(bytes));
}

void Conversation::watch(std::function<void()> changedCall)
{
    notifier.watch(std::move(changedCall));
}

void Conversation::unwatch()
{
    notifier.unwatch();
}

void Conversation::acknowledge()
{
    notifier.acknowledge();
}

void Conversation::changed()
{
    notifier.changed();
}
