#include "HeadlessRun.h"

#include "Core.h"
#include "DiskReserve.h"
#include "RuleFileReader.h"
#include "TlsServing.h"

#include <boost/asio/post.hpp>

#include <csignal>
#include <filesystem>
#include <system_error>

namespace
{
TranscriptLimits withDiskReserve()
{
    TranscriptLimits limits;
    limits.reserve = std::make_shared<DiskReserve>(limits.spillDirectory);
    return limits;
}
}

HeadlessRun::HeadlessRun(HeadlessOptions options)
    : options(std::move(options))
    , transcriptLimits(withDiskReserve())
    , signals(context, SIGINT, SIGTERM)
    , runTimer(context)
    , idleTimer(context)
{
}

// The network stops first; connections it announced last are then closed
// here, while the sessions' io_contexts still exist.
HeadlessRun::~HeadlessRun()
{
    newProtocols.disconnect();
    stopping = true;
    if (core)
        core->shutdown();
    context.restart();
    context.poll();
    open.clear();
}

ExitCode HeadlessRun::run(std::ostream& errors)
{
    messages = &errors;
    ExitCode code = prepare(errors);
    if (code == ExitCode::Done)
        code = listen(errors);
    if (code != ExitCode::Done)
        return code;
    signals.async_wait([this](const boost::system::error_code& error, int) {
        if (!error)
            stop(ExitCode::Done);
    });
    if (options.timeout.count() > 0) {
        runTimer.expires_after(options.timeout);
        runTimer.async_wait([this](const boost::system::error_code& error) {
            if (!error)
                stop(ExitCode::TimedOut);
        });
    }
    activity();
    watchIdleness();
    context.run();
    return exitCode;
}

ExitCode HeadlessRun::prepare(std::ostream& errors)
{
    if (!options.rulesFile.empty()) {
        RuleFileContents contents = RuleFileReader::load(options.rulesFile);
        if (!contents.ok()) {
            errors << "brindlewick: --rules: " << options.rulesFile << ": " << contents.error << '\n';
            return ExitCode::BadArguments;
        }
        for (const RuleProblem& problem : contents.problems)
            errors << "brindlewick: --rules: " << options.rulesFile << ": " << problem.text()
                   << " (the rule is not used)\n";
        rules = contents.rules;
    }
    if (!options.transcriptDir.empty()) {
        std::error_code error;
        std::filesystem::create_directories(options.transcriptDir, error);
        if (error || !std::filesystem::is_directory(options.transcriptDir)) {
            errors << "brindlewick: --transcript-dir: " << options.transcriptDir << ": "
                   << (error ? error.message() : "not a folder") << '\n';
            return ExitCode::BadArguments;
        }
    }
    std::string error;
    stream = EventStream::open(options.eventsPath, error);
    if (!stream) {
        errors << "brindlewick: --events: " << options.eventsPath << ": " << error << '\n';
        return ExitCode::BadArguments;
    }
    return ExitCode::Done;
}

ExitCode HeadlessRun::listen(std::ostream& errors)
{
    core.reset(new Core());
    core->setProtocolType(options.protocol);
    // On an IO thread: the connection comes here, in the order of the accepts.
    newProtocols = core->newProtocolSignal.connect([this](boost::shared_ptr<ProtocolBase> protocol) {
        boost::asio::post(context, [this, protocol] { accept(protocol); });
    });
    std::vector<ListenPlace> places = options.listen;
    EventStream::Json certificate;
    const std::string tlsProblem = TlsServing::prepare(options, places, certificate);
    if (!tlsProblem.empty()) {
        errors << "brindlewick: " << tlsProblem << '\n';
        return ExitCode::BadArguments;
    }
    const ListenResult result = core->startListening(places);
    for (const ListenFailure& failure : result.failures)
        errors << "brindlewick: couldn't listen on " << failure.endpoint.text() << ": " << failure.reason << '\n';
    if (!result.failures.empty() || result.bound.empty())
        return ExitCode::CannotListen;
    EventStream::Json listening = EventStream::Json::array();
    for (const BoundEndpoint& bound : core->getBoundEndpoints())
        listening.push_back({{"address", bound.address}, {"port", bound.port}, {"tls", bound.tls}});
    EventStream::Json event = {{"event", "listening"}, {"listen", std::move(listening)}};
    // What a client must trust: the file and its fingerprint.
    if (!certificate.is_null())
        event["certificate"] = std::move(certificate);
    stream->write(event);
    return ExitCode::Done;
}

void HeadlessRun::accept(boost::shared_ptr<ProtocolBase> protocol)
{
    if (stopping) {
        protocol->close();
        return;
    }
    activity();
    const std::uint64_t number = ++accepted;
    HeadlessConnection::Settings settings{rules, stream.get(), options.transcriptDir, transcriptLimits};
    auto connection = std::make_shared<HeadlessConnection>(context, number, std::move(protocol), settings);
    open.emplace(number, connection);
    const std::string problem = connection->start([this] { activity(); },
                                                  [this](std::uint64_t ended) { connectionEnded(ended); });
    if (!problem.empty())
        *messages << "brindlewick: " << problem << '\n';
}

void HeadlessRun::connectionEnded(std::uint64_t number)
{
    // Not destroyed here: the connection is still on the stack.
    boost::asio::post(context, [this, number] {
        open.erase(number);
        ++ended;
        if (options.exitAfterConnections != 0 && ended >= options.exitAfterConnections)
            stop(ExitCode::Done);
        if (stopping && open.empty())
            context.stop();
    });
}

void HeadlessRun::activity()
{
    lastActivity = std::chrono::steady_clock::now();
}

void HeadlessRun::watchIdleness()
{
    if (options.idleTimeout.count() == 0)
        return;
    idleTimer.expires_at(lastActivity + options.idleTimeout);
    idleTimer.async_wait([this](const boost::system::error_code& error) {
        if (error)
            return;
        if (std::chrono::steady_clock::now() - lastActivity >= options.idleTimeout)
            stop(ExitCode::Done);
        else
            watchIdleness();
    });
}

// Listening stops, and every open connection is closed; the run ends once
// each has reported what it recorded.
void HeadlessRun::stop(ExitCode code)
{
    if (stopping)
        return;
    stopping = true;
    exitCode = code;
    signals.cancel();
    runTimer.cancel();
    idleTimer.cancel();
    core->stopListening();
    for (const auto& entry : open)
        entry.second->close("stopped");
    if (open.empty())
        context.stop();
}
