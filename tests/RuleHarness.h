#pragma once

#include "RuleRunner.h"
#include "RuleSet.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A minimal TCP server for rule tests: it listens on 127.0.0.1 (a port the
// system picks), reads every client on a strand of its own and answers it
// through a RuleRunner, on one IO thread.
class RuleHarness
{
public:
    explicit RuleHarness(std::shared_ptr<const RuleSet> rules, RuleRunner::Options options = {});
    ~RuleHarness();
    RuleHarness(const RuleHarness&) = delete;
    RuleHarness& operator=(const RuleHarness&) = delete;

    unsigned short port() const { return listeningPort; }
    // Bytes received from all clients so far.
    std::uint64_t receivedBytes() const { return received.load(); }
    std::vector<std::string> notes() const;

private:
    class Connection;

    void accept();
    void addNote(const std::string& text);

    std::shared_ptr<const RuleSet> rules;
    RuleRunner::Options options;
    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work;
    boost::asio::ip::tcp::acceptor acceptor;
    unsigned short listeningPort = 0;
    std::vector<std::weak_ptr<Connection>> connections;
    std::atomic<std::uint64_t> received{0};
    mutable std::mutex notesMutex;
    std::vector<std::string> noteList;
    std::thread thread;
};
