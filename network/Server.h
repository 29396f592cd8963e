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

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

// Owns the two IO threads, the io_contexts they run and the listening
// acceptor. Accepts clients one after another and announces each one on
// newSessionSignal.
//
// Each IO thread runs an io_context of its own, and accepted connections go
// to the two in turn. A chunk received is then handled by the thread that
// waited for it: two threads sharing one io_context hand the waiting to each
// other on every read, two thread wake-ups per chunk, which cost more than
// reading a short message. Busy connections still spread over both threads.
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

    static constexpr int ioThreadCount = 2;

    // An IO thread's io_context. Run by one thread only, which Asio is told.
    struct IoThread
    {
        boost::asio::io_context context{1};
        boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{context.get_executor()};
        bool started = false;
    };

    void startThreads(int count);
    void stopThreads();
    void runIoThread(IoThread& thread);
    boost::asio::io_context& acceptingContext();
    boost::asio::io_context& nextSessionContext();

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

    std::array<IoThread, ioThreadCount> ioThreads;

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
    // The IO thread the next connection goes to.
    unsigned int nextSessionThread = 0;

    // Keeps the paused/resumed announcements in the order they happened.
    boost::asio::strand<boost::asio::io_context::executor_type> announcementStrand;

    boost::thread_group threads;
    bool threadsStopped = false;
};
