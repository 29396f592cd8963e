#pragma once

#include <boost/asio/ip/address.hpp>

#include <optional>
#include <string>

// Where the program listens: on every address of the machine (IPv6 and IPv4
// through one socket per port where the system has IPv6), on the loopback
// addresses only (127.0.0.1 and ::1), or on one address.
class BindAddress
{
public:
    enum class Scope { AllAddresses, Loopback, OneAddress };

    // The words that stand for the first two scopes in the settings; one
    // address is stored as the address itself.
    static constexpr const char* allAddressesWord = "all";
    static constexpr const char* loopbackWord = "loopback";

    BindAddress() = default;
    static BindAddress allAddresses();
    static BindAddress loopback();
    static BindAddress one(const boost::asio::ip::address& address);

    // Reads "all", "loopback" or an IPv4 or IPv6 address (an IPv6 one may
    // stand in brackets). Returns nothing and sets reason for anything else.
    static std::optional<BindAddress> parse(const std::string& text, std::string& reason);

    Scope scope() const { return bindScope; }
    // The one address; unspecified for the other scopes.
    const boost::asio::ip::address& address() const { return oneAddress; }
    // What parse reads back: "all", "loopback" or the address.
    std::string text() const;

    bool operator==(const BindAddress& other) const;
    bool operator!=(const BindAddress& other) const { return !(*this == other); }

private:
    Scope bindScope = Scope::AllAddresses;
    boost::asio::ip::address oneAddress;
};
