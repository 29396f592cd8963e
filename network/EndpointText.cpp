#include "EndpointText.h"

#include <charconv>

namespace asio = boost::asio;

namespace
{
void appendDecimal(std::string& text, unsigned int number)
{
    char digits[12];
    text.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
}

// IPv4 addresses, most clients', are written directly: Asio's to_string goes
// through inet_ntop's sprintf, which cost more than the rest of making the
// text on every accepted client.
void appendV4(std::string& text, const asio::ip::address_v4& address)
{
    bool first = true;
    for (const unsigned char byte : address.to_bytes()) {
        if (!first)
            text += '.';
        first = false;
        appendDecimal(text, byte);
    }
}

void appendAddress(std::string& text, const asio::ip::address& address)
{
    if (address.is_v4()) {
        appendV4(text, address.to_v4());
        return;
    }
    const asio::ip::address_v6 v6 = address.to_v6();
    if (v6.is_v4_mapped())
        appendV4(text, asio::ip::make_address_v4(asio::ip::v4_mapped, v6));
    else
        text += v6.to_string();
}

bool writtenAsIpv6(const asio::ip::address& address)
{
    return address.is_v6() && !address.to_v6().is_v4_mapped();
}
}

namespace EndpointText
{
std::string of(const asio::ip::tcp::endpoint& endpoint)
{
    std::string text;
    const asio::ip::address address = endpoint.address();
    const bool brackets = writtenAsIpv6(address);
    if (brackets)
        text += '[';
    appendAddress(text, address);
    if (brackets)
        text += ']';
    text += ':';
    appendDecimal(text, endpoint.port());
    return text;
}

std::string addressOf(const asio::ip::address& address)
{
    std::string text;
    appendAddress(text, address);
    return text;
}

BoundEndpoint boundOf(const asio::ip::tcp::endpoint& endpoint)
{
    return BoundEndpoint{addressOf(endpoint.address()), endpoint.port()};
}
}
