#pragma once

#include <string>
#include <vector>

// The addresses of this machine's network interfaces (getifaddrs), for the
// user to pick one to listen on.
namespace InterfaceAddresses
{
struct Entry
{
    // "lo", "eth0".
    std::string interfaceName;
    // As BindAddress::parse reads it; an IPv6 link-local address carries its
    // interface ("fe80::1%eth0").
    std::string address;
};

// IPv4 addresses first, then IPv6, each in the system's order; empty when
// the system cannot tell.
std::vector<Entry> list();
}
