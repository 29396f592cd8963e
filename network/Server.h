#pragma once

#include "Session.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/thread/thread.hpp>

#include <memory>
#include <mutex>

// Owns the io_context, its two IO threads and the listening acceptor. Accepts
// clients one after another and announces each one on newSessionSignal.
class Server
{
public:
    Server();
    ~Server();

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void startListening(unsigned int port);
    void stopListening();
    void shutDown();

    // The port the acceptor is bound to, or 0 when not listening.
    unsigned short getBoundPort();

    boost::signals2::signal<void(boost::shared_ptr<Session>)> newSessionSignal;

private:
    using Acceptor = boost::asio::ip::tcp::acceptor;
    using AcceptorPtr = boost::shared_ptr<Acceptor>;

    void startThreads(int count);
    void stopThreads();
    void runIoThread();

    void acceptNext(const AcceptorPtr& listener);
    void handleAccept(const AcceptorPtr& listener, boost::shared_ptr<Session> session,
                      const boost::system::error_code& error);
    void announce(const boost::shared_ptr<Session>& session);
    void retryAcceptLater(const AcceptorPtr& listener);
    bool isCurrent(const AcceptorPtr& listener) const;
    void dropAcceptor();

    boost::asio::io_context ioService;
    std::unique_ptr<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> ioWork;

    // The acceptor is replaced and closed on the GUI thread while accept
    // handlers on the IO threads issue the next accept on it; the mutex keeps
    // the two apart. retryTimer is guarded by it as well.
    std::mutex acceptorMutex;
    AcceptorPtr acceptor;
    boost::shared_ptr<boost::asio::steady_timer> retryTimer;

    boost::thread_group threads;
    bool threadsStopped = false;
};
