// Conversations written as pcapng captures and read back by tshark: no
// warnings, good checksums, the given times, and Follow TCP Stream gives back
// each side's bytes exactly.

#include "AsioCaptureEndpoint.h"
#include "PcapngWriter.h"
#include "RecordedEnds.h"
#include "Transcript.h"
#include "TranscriptPcapng.h"
#include "TranscriptTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <vector>

using namespace TranscriptTestSupport;

namespace
{
constexpr std::int64_t start = 1796661990123456;

std::string randomBytes(std::size_t size)
{
    std::mt19937 random(7);
    std::string bytes(size, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

std::string everyByteValue()
{
    std::string bytes;
    for (int value = 0; value < 256; ++value)
        bytes += static_cast<char>(value);
    return bytes;
}

CaptureEndpoints endpointsOf(const char* client, const char* server)
{
    using boost::asio::ip::make_address;
    using boost::asio::ip::tcp;
    return {captureEndpointOf(tcp::endpoint(make_address(client), 40000)),
            captureEndpointOf(tcp::endpoint(make_address(server), 2222))};
}

std::string epochText(std::int64_t timeUs)
{
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%06lld000", static_cast<long long>(timeUs / 1000000),
                  static_cast<long long>(timeUs % 1000000));
    return text;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

std::string fromHex(const std::string& hex)
{
    std::string bytes;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
    return bytes;
}

std::vector<std::string> columnsOf(const std::string& line)
{
    std::vector<std::string> columns;
    std::istringstream stream(line);
    for (std::string column; std::getline(stream, column, '\t');)
        columns.push_back(column);
    if (!line.empty() && line.back() == '\t')
        columns.emplace_back();
    return columns;
}

enum Column { Time, SourcePort, Flags, Sequence, Acknowledgement, InFlight, TcpChecksum, IpChecksum };

// What tshark makes of a capture file, with checksums verified. The payload
// is shown as plain data, so that the capture is judged, not the test's bytes
// as some protocol (a random megabyte after a request line is bad HTTP).
struct TsharkReading
{
    std::vector<std::vector<std::string>> packets; // by Column; sequence numbers relative
    std::vector<std::string> warnings;             // expert infos of warning or error severity
    std::string nodes[2];                          // as Follow TCP Stream names them
    std::string bytes[2];                          // what each node sent
    std::string complaints;                        // on standard error

    // The checksums were verified as good and no more than a window was in flight.
    void expectSoundPackets(bool ipv4) const
    {
        for (const auto& packet : packets) {
            ASSERT_EQ(packet.size(), IpChecksum + 1u);
            EXPECT_EQ(packet[TcpChecksum], "1");
            EXPECT_EQ(packet[IpChecksum], ipv4 ? "1" : "");
            EXPECT_LE(std::atoi(packet[InFlight].c_str()), 65535);
        }
    }
};

class Tshark
{
public:
    explicit Tshark(const ScratchDirectory& folder)
        : folder(folder)
    {
    }

    static bool available() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

    TsharkReading read(const std::string& path)
    {
        TsharkReading reading;
        for (const std::string& line : linesOf(run(path, packetFields, reading)))
            reading.packets.push_back(columnsOf(line));
        reading.warnings = linesOf(run(path, "-Y '_ws.expert.severity >= 6291456' -T fields -e _ws.expert.message",
                                       reading));
        readFollow(run(path, "-q -z follow,tcp,raw,0", reading), reading);
        return reading;
    }

private:
    static constexpr const char* packetFields = "-T fields -e frame.time_epoch -e tcp.srcport -e tcp.flags -e tcp.seq "
                                                "-e tcp.ack -e tcp.analysis.bytes_in_flight -e tcp.checksum.status "
                                                "-e ip.checksum.status";

    std::string run(const std::string& path, const std::string& arguments, TsharkReading& reading)
    {
        const std::string errors = folder.file("tshark.err");
        const std::string command = "WIRESHARK_CONFIG_DIR=" + folder.path + " timeout -k 5 30 tshark -n -r " + path
                                    + " -o tcp.check_checksum:TRUE -o ip.check_checksum:TRUE -d tcp.port==2222,data "
                                    + arguments + " 2>" + errors;
        std::string output;
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            char buffer[65536];
            for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
                output.append(buffer, got);
            if (::pclose(pipe) != 0)
                reading.complaints += "tshark failed: " + command + "\n";
        }
        for (const std::string& line : linesOf(fileContent(errors))) {
            if (line.rfind("Running as user", 0) != 0)
                reading.complaints += line + "\n";
        }
        return output;
    }

    static void readFollow(const std::string& output, TsharkReading& reading)
    {
        for (const std::string& line : linesOf(output)) {
            if (line.rfind("Node 0: ", 0) == 0 || line.rfind("Node 1: ", 0) == 0)
                reading.nodes[line[5] - '0'] = line.substr(8);
            else if (!line.empty() && line.find_first_not_of("0123456789abcdef\t") == std::string::npos)
                reading.bytes[line[0] == '\t' ? 1 : 0] += fromHex(line.substr(line[0] == '\t' ? 1 : 0));
        }
    }

    const ScratchDirectory& folder;
};

class Capture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!Tshark::available())
            GTEST_SKIP() << "tshark is not installed";
    }

    ScratchDirectory folder;
    Tshark tshark{folder};
};
}

// IPv4 (from an IPv4-mapped client address), written as it happens: the client
// ends its sending and still reads the answer; then the server ends. The
// client's megabyte crosses the wrap of its sequence numbers.
TEST_F(Capture, ConversationWrittenAsItHappensReadsBackExactly)
{
    const std::string path = folder.file("4.pcapng");
    const std::string request = "GET / HTTP/1.0\r\n\r\n";
    const std::string upload = randomBytes(1024 * 1024 + 7);
    const std::string everyByte = everyByteValue();
    PcapngWriter writer;
    ASSERT_EQ(writer.open(path, endpointsOf("::ffff:127.0.0.1", "127.0.0.1"), start), "");
    EXPECT_EQ(writer.data(Direction::Received, request.data(), request.size(), start + 10), "");
    EXPECT_EQ(writer.data(Direction::Sent, everyByte.data(), everyByte.size(), start + 20), "");
    EXPECT_EQ(writer.data(Direction::Received, upload.data(), upload.size(), start + 30), "");
    EXPECT_EQ(writer.clientEnded(start + 40), "");
    EXPECT_EQ(writer.data(Direction::Received, "late", 4, start + 45),
              "Data from the client after its FIN is not in the capture");
    EXPECT_EQ(writer.data(Direction::Sent, "bye\n", 4, start + 50), "");
    EXPECT_EQ(writer.serverEnded(start + 60), "");
    EXPECT_EQ(writer.close(), "");
    EXPECT_EQ(writer.data(Direction::Sent, "x", 1, start + 70), "The capture is not open");

    const TsharkReading reading = tshark.read(path);
    EXPECT_EQ(reading.complaints, "");
    EXPECT_EQ(reading.warnings, std::vector<std::string>());
    EXPECT_EQ(reading.nodes[0], "127.0.0.1:40000");
    EXPECT_EQ(reading.nodes[1], "127.0.0.1:2222");
    EXPECT_TRUE(reading.bytes[0] == request + upload);
    EXPECT_TRUE(reading.bytes[1] == everyByte + "bye\n");

    reading.expectSoundPackets(true);
    std::vector<std::string> times;
    for (const auto& packet : reading.packets) {
        if (times.empty() || times.back() != packet[Time])
            times.push_back(packet[Time]);
    }
    std::vector<std::string> given;
    for (std::int64_t offset : {0, 10, 20, 30, 40, 50, 60})
        given.push_back(epochText(start + offset));
    EXPECT_EQ(times, given);
    // The client's ACK of the server's FIN: both FINs took a sequence number.
    const std::size_t clientSent = request.size() + upload.size();
    const std::size_t serverSent = everyByte.size() + 4;
    EXPECT_EQ(reading.packets.back(), columnsOf(epochText(start + 60) + "\t40000\t0x0010\t" + std::to_string(clientSent + 2)
                                                + "\t" + std::to_string(serverSent + 2) + "\t\t1\t1"));
}

// IPv6, saved from a transcript: the client's FIN (dated before its last
// bytes) goes after them and before the server's answer, then the server
// resets. The server's megabyte crosses the wrap of its sequence numbers, and
// the reset is the one warning.
TEST_F(Capture, TranscriptSavedWithItsEndsReadsBackExactly)
{
    Transcript transcript;
    const std::string download = randomBytes(1024 * 1024 + 7);
    const std::string everyByte = everyByteValue();
    transcript.append(Direction::Received, "hello\n", 6, start);
    transcript.append(Direction::Sent, download.data(), download.size(), start + 10);
    transcript.append(Direction::Received, everyByte.data(), everyByte.size(), start + 20);
    transcript.append(Direction::Sent, "bye\n", 4, start + 28);
    ConversationEnds ends;
    ends.client = {SideEnding::Kind::Fin, start + 15};
    ends.server = {SideEnding::Kind::Reset, start + 30};
    const CaptureEndpoints endpoints = endpointsOf("2001:db8::1", "2001:db8::2");
    const std::string path = folder.file("6.pcapng");
    ASSERT_EQ(writeTranscriptAsPcapng(transcript, endpoints, ends, path), "");

    const TsharkReading reading = tshark.read(path);
    EXPECT_EQ(reading.complaints, "");
    EXPECT_EQ(reading.warnings, std::vector<std::string>{"Connection reset (RST)"});
    EXPECT_EQ(reading.nodes[0], "[2001:db8::1]:40000");
    EXPECT_EQ(reading.nodes[1], "[2001:db8::2]:2222");
    EXPECT_TRUE(reading.bytes[0] == "hello\n" + everyByte);
    EXPECT_TRUE(reading.bytes[1] == download + "bye\n");
    reading.expectSoundPackets(false);
    ASSERT_GE(reading.packets.size(), 5u);
    std::vector<std::string> lastSegments;
    for (auto packet = reading.packets.end() - 5; packet != reading.packets.end(); ++packet)
        lastSegments.push_back((*packet)[SourcePort] + " " + (*packet)[Flags]);
    EXPECT_EQ(lastSegments, (std::vector<std::string>{"40000 0x0011", "2222 0x0010", "2222 0x0018", "40000 0x0010",
                                                      "2222 0x0014"}));
    EXPECT_EQ(reading.packets.back(), columnsOf(epochText(start + 30) + "\t2222\t0x0014\t"
                                                + std::to_string(download.size() + 4 + 1) + "\t"
                                                + std::to_string(6 + 256 + 2) + "\t\t1\t"));

    // A failed save leaves the earlier file as it was.
    const std::string saved = fileContent(path);
    {
        FileSizeLimit limit(64 * 1024);
        EXPECT_EQ(writeTranscriptAsPcapng(transcript, endpoints, ends, path), "File too large");
    }
    EXPECT_TRUE(fileContent(path) == saved);
    EXPECT_FALSE(std::filesystem::exists(path + ".part"));
    EXPECT_EQ(writeTranscriptAsPcapng(transcript, endpoints, ends, folder.file("missing/6.pcapng")),
              "No such file or directory");
    EXPECT_EQ(writeTranscriptAsPcapng(transcript, endpointsOf("2001:db8::1", "127.0.0.1"), ends, path),
              "The client's and the server's addresses are not of the same IP version");
}

TEST(RecordedEnds, TheFirstEndOfEachSideCounts)
{
    Transcript transcript;
    EXPECT_EQ(recordedEnds(transcript).client.kind, SideEnding::Kind::Open);
    EXPECT_EQ(recordedEnds(transcript).server.kind, SideEnding::Kind::Open);
    transcript.addEvent(EventKind::Note, "[a note]", 5);
    transcript.addEvent(EventKind::SendingClosed, "", 10);
    transcript.addEvent(EventKind::ClientFailed, "", 20);
    transcript.addEvent(EventKind::ClientEnded, "", 30);
    transcript.addEvent(EventKind::ResetByServer, "", 40);
    const ConversationEnds ends = recordedEnds(transcript);
    EXPECT_EQ(ends.client.kind, SideEnding::Kind::Reset);
    EXPECT_EQ(ends.client.timeUs, 20);
    EXPECT_EQ(ends.server.kind, SideEnding::Kind::Fin);
    EXPECT_EQ(ends.server.timeUs, 10);

    Transcript other;
    other.addEvent(EventKind::ClientEnded, "", 7);
    other.addEvent(EventKind::ResetByServer, "", 8);
    EXPECT_EQ(recordedEnds(other).client.kind, SideEnding::Kind::Fin);
    EXPECT_EQ(recordedEnds(other).server.kind, SideEnding::Kind::Reset);
    EXPECT_EQ(recordedEnds(other).server.timeUs, 8);
}

TEST(PcapngWriter, AFailedWriteIsReportedByEveryLaterCall)
{
    ScratchDirectory folder;
    PcapngWriter writer;
    ASSERT_EQ(writer.open(folder.file("full.pcapng"), endpointsOf("127.0.0.1", "127.0.0.1"), start), "");
    const std::string upload = randomBytes(1024 * 1024);
    {
        FileSizeLimit limit(64 * 1024);
        EXPECT_EQ(writer.data(Direction::Received, upload.data(), upload.size(), start), "File too large");
    }
    EXPECT_EQ(writer.data(Direction::Sent, "x", 1, start), "File too large");
    EXPECT_EQ(writer.clientEnded(start), "File too large");
    EXPECT_EQ(writer.close(), "File too large");
    EXPECT_EQ(writer.close(), "The capture is not open");
}
