#include "BoundEndpoint.h"

std::string BoundEndpoint::text() const
{
    const bool ipv6 = address.find(':') != std::string::npos;
    return (ipv6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}
