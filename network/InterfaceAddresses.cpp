#include "InterfaceAddresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace
{
std::string addressText(const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 1] = {};
    if (address->sa_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
        return text;
    }
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    std::string result = text;
    char name[IF_NAMESIZE] = {};
    if (v6->sin6_scope_id != 0 && ::if_indextoname(v6->sin6_scope_id, name))
        result += std::string("%") + name;
    return result;
}
}

namespace InterfaceAddresses
{
std::vector<Entry> list()
{
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0)
        return {};
    std::vector<Entry> entries;
    for (const int family : {AF_INET, AF_INET6}) {
        for (const ifaddrs* entry = all; entry; entry = entry->ifa_next) {
            if (entry->ifa_addr && entry->ifa_addr->sa_family == family)
                entries.push_back({entry->ifa_name ? entry->ifa_name : "", addressText(entry->ifa_addr)});
        }
    }
    ::freeifaddrs(all);
    return entries;
}
}
