#include "BindAddress.h"

namespace asio = boost::asio;

BindAddress BindAddress::allAddresses()
{
    return BindAddress();
}

BindAddress BindAddress::loopback()
{
    BindAddress result;
    result.bindScope = Scope::Loopback;
    return result;
}

BindAddress BindAddress::one(const asio::ip::address& address)
{
    BindAddress result;
    result.bindScope = Scope::OneAddress;
    result.oneAddress = address;
    return result;
}

std::optional<BindAddress> BindAddress::parse(const std::string& text, std::string& reason)
{
    const std::size_t first = text.find_first_not_of(" \t");
    const std::size_t last = text.find_last_not_of(" \t");
    std::string word = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    if (word.empty()) {
        reason = "No address given";
        return std::nullopt;
    }
    if (word == allAddressesWord)
        return allAddresses();
    if (word == loopbackWord)
        return loopback();
    if (word.size() > 2 && word.front() == '[' && word.back() == ']')
        word = word.substr(1, word.size() - 2);
    boost::system::error_code error;
    const asio::ip::address address = asio::ip::make_address(word, error);
    if (error) {
        reason = "Not an IPv4 or IPv6 address: " + word;
        return std::nullopt;
    }
    return one(address);
}

std::string BindAddress::text() const
{
    switch (bindScope) {
    case Scope::AllAddresses:
        return allAddressesWord;
    case Scope::Loopback:
        return loopbackWord;
    case Scope::OneAddress:
        break;
    }
    return oneAddress.to_string();
}

bool BindAddress::operator==(const BindAddress& other) const
{
    return bindScope == other.bindScope && (bindScope != Scope::OneAddress || oneAddress == other.oneAddress);
}
