#include "PcapngFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace
{
constexpr std::size_t gatherSize = 256 * 1024;
constexpr std::uint32_t sectionHeaderType = 0x0a0d0d0a;
constexpr std::uint32_t interfaceDescriptionType = 1;
constexpr std::uint32_t enhancedPacketType = 6;
constexpr std::uint32_t byteOrderMagic = 0x1a2b3c4d;
constexpr std::uint16_t linkTypeRaw = 101;
constexpr std::uint32_t snapshotLength = 65535;
constexpr std::uint16_t optionEnd = 0;
constexpr std::uint16_t optionUserApplication = 4;
constexpr char application[] = "Brindlewick";

std::size_t paddedTo4(std::size_t size)
{
    return (size + 3) & ~std::size_t(3);
}
}

PcapngFile::~PcapngFile()
{
    if (fd >= 0)
        ::close(fd);
}

bool PcapngFile::open(const std::string& path)
{
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return fail(errno);
    buffer.reserve(gatherSize);
    appendSectionHeader();
    appendInterfaceDescription();
    return flush();
}

void PcapngFile::appendSectionHeader()
{
    const std::size_t applicationSize = sizeof application - 1;
    const auto blockSize = static_cast<std::uint32_t>(28 + 4 + paddedTo4(applicationSize) + 4);
    append32(sectionHeaderType);
    append32(blockSize);
    append32(byteOrderMagic);
    append16(1); // version 1.0
    append16(0);
    append32(0xffffffff); // section length: not given
    append32(0xffffffff);
    append16(optionUserApplication);
    append16(static_cast<std::uint16_t>(applicationSize));
    buffer.append(application, applicationSize);
    appendPadding(applicationSize);
    append16(optionEnd);
    append16(0);
    append32(blockSize);
}

void PcapngFile::appendInterfaceDescription()
{
    // Without options the time stamps are in microseconds.
    constexpr std::uint32_t blockSize = 20;
    append32(interfaceDescriptionType);
    append32(blockSize);
    append16(linkTypeRaw);
    append16(0);
    append32(snapshotLength);
    append32(blockSize);
}

bool PcapngFile::addPacket(const std::string& packet, std::int64_t timeUs)
{
    if (fd < 0)
        return false;
    const auto time = static_cast<std::uint64_t>(timeUs < 0 ? 0 : timeUs);
    const auto blockSize = static_cast<std::uint32_t>(32 + paddedTo4(packet.size()));
    append32(enhancedPacketType);
    append32(blockSize);
    append32(0); // the interface
    append32(static_cast<std::uint32_t>(time >> 32));
    append32(static_cast<std::uint32_t>(time));
    append32(static_cast<std::uint32_t>(packet.size())); // captured
    append32(static_cast<std::uint32_t>(packet.size())); // on the wire
    buffer += packet;
    appendPadding(packet.size());
    append32(blockSize);
    return buffer.size() < gatherSize || flush();
}

void PcapngFile::append32(std::uint32_t value)
{
    buffer.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void PcapngFile::append16(std::uint16_t value)
{
    buffer.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void PcapngFile::appendPadding(std::size_t size)
{
    buffer.append(paddedTo4(size) - size, '\0');
}

bool PcapngFile::flush()
{
    if (fd < 0)
        return false;
    const bool written = writeOut();
    buffer.clear();
    return written;
}

bool PcapngFile::writeOut()
{
    const char* data = buffer.data();
    std::size_t left = buffer.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return fail(errno);
        if (written == 0)
            return fail(ENOSPC);
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

bool PcapngFile::close()
{
    if (fd < 0 || !flush())
        return false;
    const int closed = ::close(fd);
    fd = -1;
    return closed == 0 || fail(errno);
}

bool PcapngFile::fail(int error)
{
    failure = std::generic_category().message(error);
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    return false;
}
