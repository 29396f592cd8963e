#pragma once

#include "ListenPlace.h"
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

    // Sets the option named (without its dashes) from value; returns an
    // empty string, or the one-line message saying what is wrong.
    std::string set(const std::string& option, const std::string& value);
    // What is wrong with the options together, or an empty string.
    std::string check() const;

    // "[ADDRESS:]PORT": "2222", "127.0.0.1:0", "[::1]:8080".
    static bool parseListen(const std::string& text, ListenPlace& place, std::string& reason);
    // A number of seconds above 0, such as "30" or "0.5".
    static bool parseSeconds(const std::string& text, std::chrono::milliseconds& duration, std::string& reason);
};
