// Where the program listens: both address families on one socket, the
// loopback addresses only, one address, several ports, and what is written
// for the addresses of clients and listeners.

#include "BindAddress.h"
#include "CoreHarness.h"
#include "EndpointText.h"
#include "PortList.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <iostream>

using namespace TestSupport;
namespace asio = boost::asio;

namespace
{
asio::ip::tcp::endpoint endpoint(const char* address, unsigned short port)
{
    return asio::ip::tcp::endpoint(asio::ip::make_address(address), port);
}

std::string parsedPorts(const std::string& text)
{
    std::string reason;
    const auto ports = PortList::parse(text, reason);
    return ports ? PortList::format(*ports) : "refused: " + reason;
}

std::string parsedAddress(const std::string& text)
{
    std::string reason;
    const auto address = BindAddress::parse(text, reason);
    return address ? address->text() : "refused: " + reason;
}

// An IPv4 address of this machine outside the loopback range, if it has one.
std::string otherLocalAddress()
{
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0)
        return std::string();
    std::string found;
    for (const ifaddrs* entry = all; entry && found.empty(); entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        const in_addr address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
        if ((ntohl(address.s_addr) >> 24) == 127)
            continue;
        char text[INET_ADDRSTRLEN];
        if (::inet_ntop(AF_INET, &address, text, sizeof text))
            found = text;
    }
    ::freeifaddrs(all);
    return found;
}

bool connects(const std::string& address, unsigned short port)
{
    TestClient client;
    return client.connectTo(address, port);
}

// Makes every IPv6 socket this process asks for fail as on a system without
// IPv6.
bool refuseIpv6Sockets()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
           && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}
}

TEST(ListenChoices, EndpointsAreWrittenAsPeopleReadThem)
{
    EXPECT_EQ(EndpointText::of(endpoint("127.0.0.1", 1025)), "127.0.0.1:1025");
    EXPECT_EQ(EndpointText::of(endpoint("::ffff:127.0.0.1", 1025)), "127.0.0.1:1025");
    EXPECT_EQ(EndpointText::of(endpoint("::1", 1025)), "[::1]:1025");
    EXPECT_EQ(EndpointText::of(endpoint("fd00::2", 80)), "[fd00::2]:80");
    const BoundEndpoint any = EndpointText::boundOf(endpoint("::", 2222));
    EXPECT_EQ(any.address, "::");
    EXPECT_EQ(any.text(), "[::]:2222");
    EXPECT_EQ(EndpointText::boundOf(endpoint("0.0.0.0", 8080)).text(), "0.0.0.0:8080");
}

TEST(ListenChoices, PortListsAndAddressesAreCheckedWithAReason)
{
    EXPECT_EQ(parsedPorts("2222, 8080"), "2222, 8080");
    EXPECT_EQ(parsedPorts(" 2222 8080,,9000 "), "2222, 8080, 9000");
    EXPECT_EQ(parsedPorts("0, 0, 65535, 00080"), "0, 0, 65535, 80");
    EXPECT_EQ(parsedPorts(""), "refused: No port given");
    EXPECT_EQ(parsedPorts(" , "), "refused: No port given");
    EXPECT_EQ(parsedPorts("22a"), "refused: Not a port number: 22a");
    EXPECT_EQ(parsedPorts("-1"), "refused: Not a port number: -1");
    EXPECT_EQ(parsedPorts("70000"), "refused: Port out of range (0-65535): 70000");
    EXPECT_EQ(parsedPorts("99999999999999999999"), "refused: Port out of range (0-65535): 99999999999999999999");
    EXPECT_EQ(parsedPorts("80, 81, 80"), "refused: Port 80 is listed twice");
    std::string seventeen;
    for (int port = 1; port <= 17; ++port)
        seventeen += std::to_string(port) + " ";
    EXPECT_EQ(parsedPorts(seventeen), "refused: At most 16 ports");

    EXPECT_EQ(parsedAddress("all"), "all");
    EXPECT_EQ(parsedAddress(" loopback "), "loopback");
    EXPECT_EQ(parsedAddress("192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(parsedAddress("[fd00::2]"), "fd00::2");
    EXPECT_EQ(parsedAddress("::"), "::");
    EXPECT_EQ(parsedAddress(""), "refused: No address given");
    EXPECT_EQ(parsedAddress("256.1.1.1"), "refused: Not an IPv4 or IPv6 address: 256.1.1.1");
    EXPECT_EQ(parsedAddress("localhost"), "refused: Not an IPv4 or IPv6 address: localhost");
}

// The default: one socket per port for both families. An IPv4 client shows
// as plain IPv4, an IPv6 one in brackets; each connection knows its listener.
TEST(Listening, BothFamiliesOnOneSocket)
{
    CoreHarness h;
    const unsigned short port = h.listen();
    ASSERT_NE(port, 0);
    EXPECT_EQ(h.log.countLines("Listening on [::]:" + std::to_string(port) + " (IPv6 and IPv4)"), 1);
    EXPECT_EQ(h.core.getBoundEndpoints(), std::vector<BoundEndpoint>({{"::", port}}));

    EXPECT_TRUE(roundTrip(h, port, "127.0.0.1"));
    EXPECT_TRUE(roundTrip(h, port, "::1"));
    EXPECT_EQ(h.protocol(0)->getListenerEndpoint(), BoundEndpoint({"::", port}));
    EXPECT_EQ(h.protocol(1)->getListenerEndpoint(), BoundEndpoint({"::", port}));
}

// Loopback only takes both loopback addresses and no other address of the
// machine; one address takes that address only.
TEST(Listening, LoopbackOnlyAndOneAddress)
{
    const std::string other = otherLocalAddress();
    if (other.empty())
        GTEST_SKIP() << "this machine has no IPv4 address outside the loopback range";
    CoreHarness h;
    const unsigned short anyPort = h.listen();
    ASSERT_TRUE(roundTrip(h, anyPort, other)) << "the other address is not reachable at all";

    h.core.setBindAddress(BindAddress::loopback());
    const ListenResult loopback = h.core.startListening();
    EXPECT_TRUE(loopback.failures.empty());
    ASSERT_EQ(loopback.bound.size(), 2u);
    const unsigned short port = loopback.bound[0].port;
    EXPECT_EQ(loopback.bound, std::vector<BoundEndpoint>({{"127.0.0.1", port}, {"::1", port}}));
    EXPECT_EQ(h.core.getBoundEndpoints(), loopback.bound);
    EXPECT_TRUE(roundTrip(h, port, "127.0.0.1"));
    EXPECT_TRUE(roundTrip(h, port, "::1"));
    EXPECT_FALSE(connects(other, port));

    h.core.setBindAddress(BindAddress::one(asio::ip::make_address("127.0.0.1")));
    const ListenResult one = h.core.startListening();
    ASSERT_EQ(one.bound.size(), 1u);
    EXPECT_EQ(one.bound[0].address, "127.0.0.1");
    EXPECT_EQ(h.log.countLines("Listening on " + one.bound[0].text()), 1);
    EXPECT_TRUE(roundTrip(h, one.bound[0].port, "127.0.0.1"));
    EXPECT_FALSE(connects("::1", one.bound[0].port));
    EXPECT_FALSE(connects(other, one.bound[0].port));
    h.core.setBindAddress(BindAddress::allAddresses());
}

// Every port of the list gets a listener; a taken one fails alone and is
// reported for its port, and stopping stops them all.
TEST(Listening, SeveralPortsAndATakenOneFailsAlone)
{
    Squatter squatter;
    const unsigned short taken = squatter.port;
    ASSERT_NE(taken, 0);
    CoreHarness other;
    other.core.setListenPorts({0, taken, 0});
    const ListenResult result = other.core.startListening();
    ASSERT_EQ(result.bound.size(), 2u);
    ASSERT_EQ(result.failures.size(), 1u);
    EXPECT_EQ(result.failures[0].endpoint, BoundEndpoint({"::", taken}));
    EXPECT_EQ(result.failures[0].reason, "Address already in use");
    EXPECT_EQ(other.log.countLines("Couldn't listen on [::]:" + std::to_string(taken) + ": Address already in use"),
              1);
    EXPECT_EQ(other.core.getBoundEndpoints(), result.bound);
    EXPECT_EQ(other.core.getBoundPort(), result.bound[0].port);
    for (const BoundEndpoint& bound : result.bound)
        EXPECT_TRUE(roundTrip(other, bound.port)) << bound.text();
    EXPECT_EQ(other.protocol(1)->getListenerEndpoint(), result.bound[1]);

    other.core.stopListening();
    EXPECT_TRUE(other.core.getBoundEndpoints().empty());
    for (const BoundEndpoint& bound : result.bound)
        EXPECT_FALSE(connects("127.0.0.1", bound.port)) << bound.text();
    other.shutdown();
    EXPECT_EQ(other.log.countLinesStartingWith("handleAccept error: "), 2);
}

// On a system without IPv6 the program listens on IPv4 and says so.
TEST(ListeningDeathTest, WithoutIpv6ItListensOnIpv4)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bool ok = false;
            if (refuseIpv6Sockets()) {
                CoreHarness h;
                const unsigned short port = h.listen();
                ok = port != 0
                     && h.log.countLines("IPv6 unavailable (Address family not supported by protocol): "
                                         "listening on IPv4 only")
                            == 1
                     && h.log.countLines("Listening on 0.0.0.0:" + std::to_string(port)) == 1
                     && roundTrip(h, port, "127.0.0.1");
                std::cerr << h.log.text() << std::endl;
            }
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "Listening on 0\\.0\\.0\\.0:");
}
