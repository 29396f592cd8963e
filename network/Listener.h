#pragma once

#include "BindAddress.h"
#include "BoundEndpoint.h"
#include "ListenResult.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/shared_ptr.hpp>

#include <memory>
#include <vector>

class ListenerContext;

// One listening socket and what its accept loop keeps beside it. The Server
// runs the loop and guards every member but the acceptor's own operations
// with its lock.
class Listener
{
public:
    using Pointer = boost::shared_ptr<Listener>;

    // Opens the listeners for one port of the list: for all addresses one
    // IPv6 socket that takes IPv4 clients too, or an IPv4 one where the
    // system has no IPv6; for the loopback addresses one on 127.0.0.1 and
    // one on ::1; otherwise one on the address. Every endpoint bound and
    // every failure is logged and added to result.
    static std::vector<Pointer> openForPort(boost::asio::io_context& context, const BindAddress& where,
                                            unsigned short port, ListenResult& result);

    explicit Listener(boost::asio::io_context& context);

    boost::asio::ip::tcp::acceptor acceptor;
    // Where it is bound, with the port the system chose for port 0.
    BoundEndpoint bound;
    // Waits before the next accept after an error or while accepting pauses.
    boost::shared_ptr<boost::asio::steady_timer> retryTimer;
    // Cleared when listening stops or is replaced: the loop then ends.
    bool current = true;
    // Null for plain TCP.
    std::shared_ptr<ListenerContext> tls;

private:
    struct Outcome;
    Outcome open(const boost::asio::ip::tcp::endpoint& endpoint, bool ipv6Only);
    static Pointer openAny(boost::asio::io_context& context, unsigned short port, ListenResult& result);
    static std::vector<Pointer> openLoopback(boost::asio::io_context& context, unsigned short port,
                                             ListenResult& result);
    static Pointer openOne(boost::asio::io_context& context, const boost::asio::ip::tcp::endpoint& endpoint,
                           ListenResult& result);
};
