#include "ConnectionReport.h"

#include "AsioCaptureEndpoint.h"
#include "ConnectionDetails.h"
#include "Conversation.h"
#include "EndpointText.h"
#include "RuleSet.h"

namespace
{
EventStream::Json endpointJson(const boost::asio::ip::tcp::endpoint& endpoint)
{
    const BoundEndpoint bound = EndpointText::boundOf(endpoint);
    return {{"address", bound.address}, {"port", bound.port}};
}
}

ConnectionReport::ConnectionReport(boost::asio::io_context& context, std::uint64_t number,
                                   std::shared_ptr<Conversation> conversation, std::shared_ptr<const RuleSet> rules,
                                   EventStream* stream)
    : id(number)
    , conversation(std::move(conversation))
    , rules(std::move(rules))
    , stream(stream)
    , follower(this->conversation->transcript())
    , retryTimer(context)
{
}

ConnectionReport::~ConnectionReport() = default;

std::string ConnectionReport::start(const std::string& folder, std::int64_t acceptedUs)
{
    const ProtocolBase& protocol = conversation->protocol();
    const std::int64_t now = acceptedUs;
    std::string problem;
    if (!folder.empty()) {
        files = std::make_unique<ConnectionFiles>();
        const CaptureEndpoints endpoints{captureEndpointOf(protocol.getClientEndpoint()),
                                         captureEndpointOf(protocol.getLocalEndpoint())};
        problem = files->open(folder, id, endpoints, now);
        if (!problem.empty())
            files.reset();
    }
    Json connected = made("connected", now);
    connected["client"] = endpointJson(protocol.getClientEndpoint());
    connected["server"] = endpointJson(protocol.getLocalEndpoint());
    const BoundEndpoint listener = protocol.getListenerEndpoint();
    connected["listener"] = {{"address", listener.address}, {"port", listener.port}};
    // Its handshake's outcome follows as a "tls" or "tls_failed" event.
    connected["tls"] = protocol.usesTls();
    emit(std::move(connected));
    reportCaptureFailure();
    return problem;
}

void ConnectionReport::update()
{
    if (filesWaiting && !finishing)
        return;
    sendNotesSeen = false;
    follower.follow(*this);
    reportRuleHits();
    if (sendNotesSeen)
        reportFailedSends();
    reportCaptureFailure();
    if (files && files->waiting())
        waitForFiles();
}

void ConnectionReport::finish(const std::string& how)
{
    retryTimer.cancel();
    finishing = true;
    update();
    if (files) {
        files->retry();
        files->close(Transcript::nowUs());
    }
    reportCaptureFailure();
    const TranscriptTotals totals = conversation->transcript().totals();
    Json closed = made("closed", Transcript::nowUs());
    closed["how"] = how;
    closed["bytes_received"] = totals.bytes[static_cast<int>(Direction::Received)];
    closed["bytes_sent"] = totals.bytes[static_cast<int>(Direction::Sent)];
    emit(std::move(closed));
}

bool ConnectionReport::piece(const Chunk& chunk, std::uint64_t offset, const char* bytes, std::size_t size)
{
    const bool sent = chunk.direction == Direction::Sent;
    if (offset == 0) {
        // A rule's reply comes after the rule that sent it.
        if (sent)
            reportRuleHits();
        Json data = made("data", chunk.timeUs);
        data["direction"] = sent ? "sent" : "received";
        data["size"] = chunk.length;
        emit(std::move(data));
    }
    return !files || files->data(chunk.direction, bytes, size, chunk.timeUs);
}

void ConnectionReport::event(const TranscriptEvent& event)
{
    reportRuleHits();
    switch (event.kind) {
    case EventKind::Note: {
        sendNotesSeen = true;
        Json note = made("note", event.timeUs);
        note["text"] = event.text;
        emit(std::move(note));
        break;
    }
    case EventKind::ReplyNotSent:
        sendNotesSeen = true;
        break;
    case EventKind::OlderBytesDropped: {
        Json note = made("note", event.timeUs);
        note["text"] = event.text;
        emit(std::move(note));
        break;
    }
    case EventKind::ReadingPaused: {
        Json paused = made("reading_paused", event.timeUs);
        paused["reason"] = conversation->state().storageError;
        emit(std::move(paused));
        break;
    }
    case EventKind::ReadingResumed:
        emit(made("reading_resumed", event.timeUs));
        break;
    case EventKind::TlsEstablished:
    case EventKind::TlsFailed:
        tlsEvent(event);
        break;
    default:
        endEvent(event);
        break;
    }
}

// How either side ended, in the events and as the capture's FINs and RSTs.
void ConnectionReport::endEvent(const TranscriptEvent& event)
{
    switch (event.kind) {
    case EventKind::ClientEnded:
        if (files)
            files->clientEnded(event.timeUs);
        emit(made("client_ended", event.timeUs));
        break;
    case EventKind::ClientFailed: {
        if (files)
            files->reset(false, event.timeUs);
        Json reset = made("reset", event.timeUs);
        reset["by"] = "client";
        reset["reason"] = conversation->state().readEndReason;
        emit(std::move(reset));
        break;
    }
    case EventKind::SendingClosed:
        if (files)
            files->serverEnded(event.timeUs);
        emit(made("sending_closed", event.timeUs));
        break;
    case EventKind::ResetByServer: {
        if (files)
            files->reset(true, event.timeUs);
        Json reset = made("reset", event.timeUs);
        reset["by"] = "server";
        emit(std::move(reset));
        break;
    }
    case EventKind::Released:
        if (files)
            files->serverEnded(event.timeUs);
        emit(made("released", event.timeUs));
        break;
    default:
        break;
    }
}

// The names a client chose (its SNI) are written as they came; EventStream
// escapes what is not printable.
void ConnectionReport::tlsEvent(const TranscriptEvent& event)
{
    const auto details = conversation->tlsDetails();
    if (event.kind == EventKind::TlsFailed || !details) {
        Json failed = made("tls_failed", event.timeUs);
        failed["reason"] = conversation->state().tlsFailure;
        emit(std::move(failed));
        return;
    }
    Json tls = made("tls", event.timeUs);
    tls["tls_version"] = details->version;
    tls["cipher"] = details->cipher;
    tls["sni"] = details->serverName;
    tls["alpn"] = details->alpn;
    tls["handshake_ms"] = static_cast<double>(details->handshakeDuration.count()) / 1000.0;
    if (details->clientSubject.empty())
        tls["client_certificate"] = nullptr;
    else
        tls["client_certificate"] = {{"subject", details->clientSubject},
                                     {"issuer", details->clientIssuer},
                                     {"sha256", details->clientFingerprint}};
    emit(std::move(tls));
}

void ConnectionReport::reportRuleHits()
{
    const auto counters = conversation->ruleCounters();
    if (!counters || !rules)
        return;
    ruleHits.resize(counters->ruleCount(), 0);
    for (std::size_t rule = 0; rule < ruleHits.size(); ++rule) {
        for (const std::uint64_t hits = counters->hits(rule); ruleHits[rule] < hits; ++ruleHits[rule]) {
            Json fired = made("rule", Transcript::nowUs());
            fired["index"] = rule;
            const Rule& definition = rules->definition(rule);
            fired["rule"] = definition.name.empty() ? rules->compiled(rule).label : definition.name;
            emit(std::move(fired));
        }
    }
}

// Sends end in the order they were queued.
void ConnectionReport::reportFailedSends()
{
    for (const SendLedger::Entry& entry : conversation->sends()) {
        if (entry.id <= lastFinishedSend || entry.state == SendLedger::State::Queued)
            continue;
        lastFinishedSend = entry.id;
        if (entry.state != SendLedger::State::Failed)
            continue;
        Json failed = made("send_failed", Transcript::nowUs());
        failed["send"] = entry.id;
        failed["size"] = entry.size;
        failed["written"] = entry.written;
        failed["reason"] = entry.reason;
        emit(std::move(failed));
    }
}

void ConnectionReport::waitForFiles()
{
    if (finishing)
        return;
    if (!filesWaiting) {
        filesWaiting = true;
        conversation->holdReading(Conversation::Hold::Files);
        Json paused = made("reading_paused", Transcript::nowUs());
        paused["reason"] = files ? files->error() : std::string();
        emit(std::move(paused));
    }
    retryTimer.expires_after(retryInterval);
    retryTimer.async_wait([this](const boost::system::error_code& error) {
        if (!error)
            retryFiles();
    });
}

void ConnectionReport::retryFiles()
{
    if (files && !files->retry()) {
        waitForFiles();
        return;
    }
    filesWaiting = false;
    emit(made("reading_resumed", Transcript::nowUs()));
    conversation->releaseReading(Conversation::Hold::Files);
    update();
}

void ConnectionReport::reportCaptureFailure()
{
    if (!files)
        return;
    std::string failure = files->takeCaptureFailure();
    if (failure.empty())
        return;
    Json failed = made("capture_failed", Transcript::nowUs());
    failed["reason"] = std::move(failure);
    emit(std::move(failed));
}

void ConnectionReport::emit(Json event)
{
    if (stream)
        stream->write(event);
    if (files)
        files->event(event);
}

ConnectionReport::Json ConnectionReport::made(const char* name, std::int64_t timeUs) const
{
    Json event;
    event["event"] = name;
    event["connection"] = id;
    event["time"] = EventStream::timeText(timeUs);
    return event;
}
