#pragma once

#include "ConnectionDetails.h"
#include "ListenerContext.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A small TLS server for the tests, built on a ListenerContext the way the
// program's connections will use it: an acceptor on 127.0.0.1 (the port
// chosen by the system), an ssl::stream per client, the handshake under the
// context's timeout. Then, in Echo mode, it echoes each chunk, except these
// lines: "write N" (N bytes in one write), "close-sending" (close_notify
// without waiting, reading goes on) and "reset". In Http mode it answers the
// first request with a fixed response and closes. One IO thread.
class TlsTestServer
{
public:
    enum class Mode
    {
        Echo,
        Http
    };

    static constexpr const char* httpBody = "hello from brindlewick\n";

    // What became of one connection, complete once it ended.
    struct Outcome
    {
        std::string failure; // why the handshake failed; empty if it succeeded
        ConnectionDetails details;
        std::string received;
        std::string end; // ConnectionEnd's text, or what the server did
        // For each "write N": the number of TLS records it took.
        std::vector<int> writeRecords;
    };

    TlsTestServer(std::shared_ptr<ListenerContext> context, Mode mode);
    ~TlsTestServer();

    unsigned short port() const { return boundPort; }
    // Waits until count connections have ended; false at the deadline.
    bool waitForOutcomes(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    std::vector<Outcome> outcomes();

private:
    class Connection;

    void acceptNext();
    void record(const Outcome& outcome);

    std::shared_ptr<ListenerContext> listenerContext;
    Mode mode;
    boost::asio::io_context io{1};
    boost::asio::ip::tcp::acceptor acceptor{io};
    unsigned short boundPort = 0;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Outcome> ended;
    std::thread thread;
};
