#include "Listener.h"

#include "EndpointText.h"
#include "Log.h"

#include <boost/asio/error.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/make_shared.hpp>

namespace asio = boost::asio;
using asio::ip::tcp;

struct Listener::Outcome
{
    boost::system::error_code error;
    // The socket could not be made as asked (no IPv6, or no dual stack):
    // another family may still work.
    bool familyUnavailable = false;
};

namespace
{
// Binding the loopback pair to a port of the system's choice: the port
// chosen for 127.0.0.1 may be taken on ::1; a new pair is tried this often.
constexpr int loopbackPairAttempts = 4;

bool addressFamilyProblem(const boost::system::error_code& error)
{
    return error == asio::error::address_family_not_supported || error == boost::system::errc::address_not_available;
}

void reportFailure(const tcp::endpoint& endpoint, const boost::system::error_code& error, ListenResult& result)
{
    const BoundEndpoint where = EndpointText::boundOf(endpoint);
    Log::line("Couldn't listen on ", where.text(), ": ", error.message());
    result.failures.push_back({where, error.message()});
}

void reportIpv6Unavailable(const boost::system::error_code& error, const char* instead)
{
    Log::line("IPv6 unavailable (", error.message(), "): listening on ", instead, " only");
}
}

Listener::Listener(asio::io_context& context)
    : acceptor(context)
{
}

Listener::Outcome Listener::open(const tcp::endpoint& endpoint, bool ipv6Only)
{
    Outcome outcome;
    acceptor.open(endpoint.protocol(), outcome.error);
    if (!outcome.error && endpoint.address().is_v6())
        acceptor.set_option(asio::ip::v6_only(ipv6Only), outcome.error);
    outcome.familyUnavailable = static_cast<bool>(outcome.error);
    if (!outcome.error)
        acceptor.set_option(tcp::acceptor::reuse_address(true), outcome.error);
    if (!outcome.error)
        acceptor.bind(endpoint, outcome.error);
    if (!outcome.error)
        acceptor.listen(asio::socket_base::max_listen_connections, outcome.error);
    if (!outcome.error) {
        const tcp::endpoint local = acceptor.local_endpoint(outcome.error);
        bound = EndpointText::boundOf(local);
    }
    if (outcome.error) {
        outcome.familyUnavailable = outcome.familyUnavailable || addressFamilyProblem(outcome.error);
        boost::system::error_code ignored;
        acceptor.close(ignored);
    }
    return outcome;
}

std::vector<Listener::Pointer> Listener::openForPort(asio::io_context& context, const BindAddress& where,
                                                     unsigned short port, ListenResult& result)
{
    std::vector<Pointer> opened;
    switch (where.scope()) {
    case BindAddress::Scope::AllAddresses:
        opened.push_back(openAny(context, port, result));
        break;
    case BindAddress::Scope::Loopback:
        opened = openLoopback(context, port, result);
        break;
    case BindAddress::Scope::OneAddress:
        opened.push_back(openOne(context, tcp::endpoint(where.address(), port), result));
        break;
    }
    std::vector<Pointer> listening;
    for (Pointer& listener : opened) {
        if (listener)
            listening.push_back(std::move(listener));
    }
    return listening;
}

Listener::Pointer Listener::openAny(asio::io_context& context, unsigned short port, ListenResult& result)
{
    const tcp::endpoint dualStack(asio::ip::address_v6::any(), port);
    auto listener = boost::make_shared<Listener>(context);
    const Outcome outcome = listener->open(dualStack, false);
    if (!outcome.error) {
        Log::line("Listening on ", listener->bound.text(), " (IPv6 and IPv4)");
        result.bound.push_back(listener->bound);
        return listener;
    }
    if (!outcome.familyUnavailable) {
        reportFailure(dualStack, outcome.error, result);
        return nullptr;
    }
    reportIpv6Unavailable(outcome.error, "IPv4");
    return openOne(context, tcp::endpoint(tcp::v4(), port), result);
}

// An IPv6 address alone takes IPv6 clients only: "::" typed as the one
// address means IPv6 on every address, and "0.0.0.0" IPv4 on every address.
Listener::Pointer Listener::openOne(asio::io_context& context, const tcp::endpoint& endpoint, ListenResult& result)
{
    auto listener = boost::make_shared<Listener>(context);
    const Outcome outcome = listener->open(endpoint, true);
    if (outcome.error) {
        reportFailure(endpoint, outcome.error, result);
        return nullptr;
    }
    Log::line("Listening on ", listener->bound.text());
    result.bound.push_back(listener->bound);
    return listener;
}

// Both loopback sockets share one port, also when the system chooses it.
std::vector<Listener::Pointer> Listener::openLoopback(asio::io_context& context, unsigned short port,
                                                     ListenResult& result)
{
    for (int attempt = 1;; ++attempt) {
        auto v4 = boost::make_shared<Listener>(context);
        const tcp::endpoint v4Endpoint(asio::ip::address_v4::loopback(), port);
        if (const Outcome outcome = v4->open(v4Endpoint, true); outcome.error) {
            reportFailure(v4Endpoint, outcome.error, result);
            return {};
        }
        auto v6 = boost::make_shared<Listener>(context);
        const tcp::endpoint v6Endpoint(asio::ip::address_v6::loopback(), v4->bound.port);
        const Outcome outcome = v6->open(v6Endpoint, true);
        const bool retry = outcome.error == asio::error::address_in_use && port == 0 && attempt < loopbackPairAttempts;
        if (retry)
            continue;
        Log::line("Listening on ", v4->bound.text());
        result.bound.push_back(v4->bound);
        if (!outcome.error) {
            Log::line("Listening on ", v6->bound.text());
            result.bound.push_back(v6->bound);
            return {v4, v6};
        }
        if (outcome.familyUnavailable)
            reportIpv6Unavailable(outcome.error, "127.0.0.1");
        else
            reportFailure(v6Endpoint, outcome.error, result);
        return {v4};
    }
}
