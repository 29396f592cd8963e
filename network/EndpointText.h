#pragma once

#include "BoundEndpoint.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <string>

// How endpoints are written for people: an IPv4 client that reached an IPv6
// socket (an IPv4-mapped address, ::ffff:127.0.0.1) is written as the IPv4
// address it is, an IPv6 address in brackets before its port.
namespace EndpointText
{
// "127.0.0.1:1025" or "[::1]:1025".
std::string of(const boost::asio::ip::tcp::endpoint& endpoint);
// The address alone, without brackets: "127.0.0.1", "::1".
std::string addressOf(const boost::asio::ip::address& address);
BoundEndpoint boundOf(const boost::asio::ip::tcp::endpoint& endpoint);
}
