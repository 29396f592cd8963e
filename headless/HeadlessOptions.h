#pragma once

#include "ListenPlace.h"
#include "ListenerOptions.h"
#include "ProtocolFactory.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// What a headless run is told on its command line. Each option is set from
// its text, so that the command line's parser only hands the words over and
// every value is checked here, with a message that names the option.
class HeadlessOptions
{
public:
    static constexpr std::size_t maxListenPlaces = 16;

    std::vector<ListenPlace> listen;
    ProtocolFactory::ProtocolType protocol = ProtocolFactory::PLAIN_TEXT;
    std::string rulesFile;     // empty: no rules
    std::string transcriptDir; // empty: no files per connection
    std::string eventsPath = "-";
    std::uint64_t exitAfterConnections = 0; // 0: no such limit
    std::chrono::milliseconds idleTimeout{0};
    std::chrono::milliseconds timeout{0};
    bool verbose = false;
    // TLS on every place listened on: with the certificate generated and
    // kept in certificateFolder (--tls), or with the user's own (--cert and
    // --key). The other TLS options only go with one of those.
    bool tls = false;
    std::string certificateFile;
    std::string keyFile;
    ListenerOptions tlsOptions;
    // Where the GUI keeps its settings, and the generated certificate beside them.
    std::string certificateFolder = defaultConfigurationFolder();

    bool servesTls() const { return tls || !certificateFile.empty(); }

    // Sets the option named (without its dashes) from value; returns an
    // empty string, or the one-line message saying what is wrong.
    std::string set(const std::string& option, const std::string& value);
    // What is wrong with the options together, or an empty string.
    std::string check() const;

    // "[ADDRESS:]PORT": "2222", "127.0.0.1:0", "[::1]:8080".
    static bool parseListen(const std::string& text, ListenPlace& place, std::string& reason);
    // A number of seconds above 0, such as "30" or "0.5".
    static bool parseSeconds(const std::string& text, std::chrono::milliseconds& duration, std::string& reason);
    // $XDG_CONFIG_HOME/Brindlewick, or ~/.config/Brindlewick.
    static std::string defaultConfigurationFolder();

private:
    std::string setTls(const std::string& option, const std::string& value);
    std::string checkTls() const;

    bool tlsOptionGiven = false;
};
