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

// A small TLS server for the tests, on a ListenerContext the way the
// program's connections will use it: an acceptor on 127.0.0.1 (the port
// chosen by the system), an ssl::stream per client on one IO thread, the
// handshake under the context's timeout. Then it echoes each chunk, except:
// an HTTP request ("GET ...") gets httpBody and the connection closes;
// "write N" gets N bytes in one write; "close-sending" gets close_notify
// without waiting for the client's (reading goes on); "reset" resets.
class TlsTestServer
{
public:
    static constexpr const char* httpBody = "hello from brindlewick\n";

    // What became of one connection, once it ended.
    struct Outcome
    {
        std::string failure; // why the handshake failed; empty when it succeeded
        ConnectionDetails details;
        std::string received;
        std::string end;
        std::vector<int> writeRecords; // TLS records each "write N" took
    };

    explicit TlsTestServer(std::shared_ptr<ListenerContext> context);
    ~TlsTestServer();

    unsigned short port() const { return boundPort; }
    // The outcome of the count-th connection to end (from 1), once it ended.
    Outcome waitForOutcome(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    std::size_t outcomeCount();

private:
    class Connection;

    void acceptNext();
    void record(const Outcome& outcome);

    std::shared_ptr<ListenerContext> listenerContext;
    boost::asio::io_context io{1};
    boost::asio::ip::tcp::acceptor acceptor{io};
    unsigned short boundPort = 0;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Outcome> ended;
    std::thread thread;
};
