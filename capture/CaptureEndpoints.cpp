#include "CaptureEndpoints.h"

#include <algorithm>

namespace
{
constexpr std::uint8_t v4MappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
}

CaptureEndpoint CaptureEndpoint::fromBytes(const std::uint8_t* bytes, std::size_t size, std::uint16_t port)
{
    CaptureEndpoint endpoint;
    endpoint.port = port;
    if (size == 16 && std::equal(std::begin(v4MappedPrefix), std::end(v4MappedPrefix), bytes)) {
        bytes += sizeof v4MappedPrefix;
        size = 4;
    }
    if (size != 4 && size != 16)
        return endpoint;
    std::copy(bytes, bytes + size, endpoint.address.begin());
    endpoint.addressSize = static_cast<std::uint8_t>(size);
    return endpoint;
}
