#pragma once

#include <optional>
#include <string>
#include <vector>

// A port as listed, and whether its clients speak TLS: "8443/tls".
struct ListedPort
{
    unsigned int number = 0;
    bool tls = false;

    bool operator==(const ListedPort& other) const { return number == other.number && tls == other.tls; }
};

// The ports the program listens on, as the user types them: "2222, 8080".
// Port 0 lets the system choose one (and may be given more than once).
namespace PortList
{
// One listener per port (two for the loopback addresses): the most ports a
// list may hold.
constexpr std::size_t maxPorts = 16;

// Reads ports separated by commas and/or spaces. Returns nothing and sets
// reason for an empty list, a word that is no port number, a port above
// 65535, a port given twice or more than maxPorts ports.
std::optional<std::vector<unsigned int>> parse(const std::string& text, std::string& reason);
// "2222, 8080": what parse reads back.
std::string format(const std::vector<unsigned int>& ports);

// The same, where a port followed by "/tls" (in any case) serves TLS
// clients: "2222, 8443/tls". A list without marks reads as plain ports.
std::optional<std::vector<ListedPort>> parseListed(const std::string& text, std::string& reason);
std::string format(const std::vector<ListedPort>& ports);
std::vector<unsigned int> numbers(const std::vector<ListedPort>& ports);
std::vector<ListedPort> plain(const std::vector<unsigned int>& ports);
}
