#include "CommandLine.h"

#include "AllocatorTuning.h"
#include "FileDescriptors.h"
#include "HeadlessRun.h"
#include "Log.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstring>
#include <iostream>

namespace
{
struct OptionText
{
    const char* name;
    const char* valueName; // null for a flag
    const char* description;
};

const OptionText headlessOptions[] = {
    {"headless", nullptr, "Runs without windows, for scripts and CI: answers clients by the rules and writes "
                          "events and files (see the options below)."},
    {"listen", "[ADDRESS:]PORT", "Listens on PORT (0: the system chooses) at ADDRESS, or at every address; an IPv6 "
                                 "address in brackets, as in [::1]:0. May be given more than once."},
    {"protocol", "plain|http", "How replies are framed: plain (as they are, the default) or http."},
    {"rules", "FILE", "Answers clients by the rules in FILE."},
    {"transcript-dir", "DIR", "Writes N-received.bin, N-sent.bin, N-events.jsonl and N.pcapng for connection N "
                              "into DIR."},
    {"events", "FILE", "Writes the events, one JSON object a line, to FILE; - (the default) is standard output."},
    {"exit-after-connections", "N", "Exits once N connections have ended."},
    {"idle-timeout", "SECONDS", "Exits once nothing has happened for SECONDS."},
    {"timeout", "SECONDS", "Exits after SECONDS in any case, with exit code 4."},
    {"verbose", nullptr, "Writes diagnostic lines to standard error."},
    {"tls", nullptr, "Serves TLS on every --listen place with the generated certificate, kept in the "
                     "configuration folder; the listening event names its file and SHA-256 fingerprint."},
    {"cert", "FILE", "Serves TLS with your own certificate chain (PEM, the server's certificate first)."},
    {"key", "FILE", "The private key (PEM) of --cert; may be the same file."},
    {"tls-min", "1.2|1.3", "The lowest TLS version accepted (default 1.2)."},
    {"tls-max", "1.2|1.3", "The highest TLS version accepted (default 1.3)."},
    {"alpn", "LIST", "Application protocols to offer, in order of preference, separated by commas (h2,http/1.1)."},
    {"client-certs", "off|requested|required", "Asks clients for a certificate (default off)."},
    {"client-ca", "FILE", "The PEM certificates that client certificates must be issued by."},
};

bool isTerminalWord(const char* argument)
{
    for (const char* word : {"--headless", "--help", "-h", "--help-all", "--version", "-v", "-?"}) {
        if (std::strcmp(argument, word) == 0)
            return true;
    }
    return false;
}

int fail(const QString& message)
{
    std::cerr << "brindlewick: " << message.toStdString() << std::endl;
    return static_cast<int>(ExitCode::BadArguments);
}

// Every value goes to HeadlessOptions, which checks it.
std::string readOptions(const QCommandLineParser& parser, HeadlessOptions& options)
{
    for (const OptionText& option : headlessOptions) {
        if (!option.valueName)
            continue;
        for (const QString& value : parser.values(option.name)) {
            std::string error = options.set(option.name, value.toStdString());
            if (!error.empty())
                return error;
        }
    }
    options.verbose = parser.isSet("verbose");
    options.tls = parser.isSet("tls");
    return options.check();
}

int runHeadless(const HeadlessOptions& options)
{
    // Standard output may carry the events: diagnostic lines go elsewhere.
    Log::setDestination(options.verbose ? Log::Destination::StandardError : Log::Destination::Nowhere);
    // A reader of the events that goes away must not end the run.
    std::signal(SIGPIPE, SIG_IGN);
    Log::line("File descriptor limit: ", FileDescriptors::raiseLimit());
    keepChunkSizedBlocksForReuse();
    HeadlessRun run(options);
    const ExitCode code = run.run(std::cerr);
    Log::flush();
    return static_cast<int>(code);
}
}

namespace CommandLine
{
bool isForTerminal(int argc, char** argv)
{
    for (int index = 1; index < argc; ++index) {
        if (std::strcmp(argv[index], "--") == 0)
            return false;
        if (isTerminalWord(argv[index]))
            return true;
    }
    return false;
}

int run(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName("brindlewick");
    QCoreApplication::setApplicationVersion(BRINDLEWICK_VERSION);
    QCommandLineParser parser;
    parser.setApplicationDescription("Plays the server for a TCP client under test. Without options it opens its "
                                     "window; with --headless it runs without one.");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    for (const OptionText& option : headlessOptions) {
        QCommandLineOption added(QString::fromLatin1(option.name), QString::fromLatin1(option.description));
        if (option.valueName)
            added.setValueName(QString::fromLatin1(option.valueName));
        parser.addOption(added);
    }
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText());
    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(version))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return fail("unexpected argument '" + parser.positionalArguments().front() + "'");
    if (!parser.isSet("headless"))
        return fail("the options need --headless");
    HeadlessOptions options;
    const std::string error = readOptions(parser, options);
    if (!error.empty())
        return fail(QString::fromStdString(error));
    return runHeadless(options);
}
}
