#pragma once

#include "Session.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/thread/thread.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

// Owns the io_context, its two IO threads and the listening acceptor. Accepts
// clients one after another and announces each one on newSessionSignal.
//
// Accepting keeps descriptorReserve file descriptors free for the rest of the
// program (the windowing system, settings, the sanitizers' runtime): before
// an accept would eat into them, the loop pauses, clients wait in the
// listener's backlog, and it checks again every pauseCheckInterval until
// resumeHeadroom descriptors beyond the reserve are free.
class Server
{
public:
    static constexpr std::uint64_t descriptorReserve = 64;
    static constexpr std::uint64_t resumeHeadroom = 32;
    static constexpr std::chrono::milliseconds pauseCheckInterval{150};

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
    // true when accepting pauses for lack of descriptors, false when it goes
    // on again (or the paused listener is dropped). Emitted on an IO thread,
    // in order.
    boost::signals2::signal<void(bool paused)> acceptingPausedSignal;

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
    void acceptAfter(const AcceptorPtr& listener, std::chrono::milliseconds delay);
    bool isCurrent(const AcceptorPtr& listener) const;
    void dropAcceptor();
    bool descriptorsToSpare();
    void setAcceptingPaused(bool paused);

    boost::asio::io_context ioService;
    std::unique_ptr<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> ioWork;

    // The acceptor is replaced and closed on the GUI thread while accept
    // handlers on the IO threads issue the next accept on it; the mutex keeps
    // the two apart. retryTimer and the descriptor bookkeeping are guarded by
    // it as well.
    std::mutex acceptorMutex;
    AcceptorPtr acceptor;
    boost::shared_ptr<boost::asio::steady_timer> retryTimer;
    bool acceptingPaused = false;
    // Descriptors open at the last count plus the accepts issued since: closed
    // connections are not subtracted, so it errs towards counting again.
    std::uint64_t openDescriptorEstimate = 0;
    unsigned int acceptsSinceCount = 0;

    // Keeps the paused/resumed announcements in the order they happened.
    boost::asio::strand<boost::asio::io_context::executor_type> announcementStrand;

    boost::thread_group threads;
    bool threadsStopped = false;
};
