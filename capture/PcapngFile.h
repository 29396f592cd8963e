#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A pcapng file with one section and one interface that carries raw IP
// packets (LINKTYPE_RAW: each packet starts with its IPv4 or IPv6 header), in
// this machine's byte order, with microsecond time stamps. The program never
// sees a link layer: raw IP needs no made-up MAC addresses that could pass
// for real ones, and Wireshark tells IPv4 from IPv6 by the packet's first
// byte. Blocks are
// gathered and written out in large writes; flush() makes the file complete
// up to the last packet. Failures are returned, never thrown.
class PcapngFile
{
public:
    PcapngFile() = default;
    ~PcapngFile(); // closes the file, without writing what waits

    PcapngFile(const PcapngFile&) = delete;
    PcapngFile& operator=(const PcapngFile&) = delete;

    // Creates (or truncates) path and writes the section and interface headers.
    bool open(const std::string& path);
    bool addPacket(const std::string& packet, std::int64_t timeUs);
    bool flush();
    bool close();

    // Why the last call failed, as the system says it ("No space left on device").
    const std::string& error() const { return failure; }

private:
    void appendSectionHeader();
    void appendInterfaceDescription();
    void append32(std::uint32_t value);
    void append16(std::uint16_t value);
    void appendPadding(std::size_t size);
    bool writeOut();
    bool fail(int error);

    int fd = -1;
    std::string buffer;
    std::string failure;
};
