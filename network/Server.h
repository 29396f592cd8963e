#pragma once

#include "BindAddress.h"
#include "DescriptorBudget.h"
#include "EndedSessions.h"
#include "ListenResult.h"
#include "Listener.h"
#include "ListenPlace.h"
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
#include <vector>

// Owns the two IO threads, the io_contexts they run and the listeners: one
// accept loop per listening socket, each announcing every client it accepts
// on newSessionSignal.
//
// Each IO thread runs an io_context of its own, and accepted connections go
// to the two in turn. A chunk received is then handled by the thread that
// waited for it: two threads sharing one io_context hand the waiting to each
// other on every read, two thread wake-ups per chunk, which cost more than
// reading a short message. Busy connections still spread over both threads.
//
// Accepting keeps a reserve of file descriptors free for the rest of the
// program (see DescriptorBudget). Before an accept would eat into it, the
// sockets of connections whose client ended its sending are released, oldest
// first (see EndedSessions); when there are none, every loop pauses, clients
// wait in the listeners' backlogs, and each checks again every
// pauseCheckInterval until enough descriptors are free.
class Server
{
public:
    static constexpr std::chrono::milliseconds pauseCheckInterval{150};

    Server();
    ~Server();

    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Replaces the listeners by one per port (two for the loopback
    // addresses). A port that cannot be bound is reported in the result and
    // in the log while the others listen; nothing is thrown for it.
    ListenResult startListening(const BindAddress& where, const std::vector<unsigned int>& ports);
    // The same for places of their own addresses, each with its port.
    ListenResult startListening(const std::vector<ListenPlace>& places);
    void stopListening();
    void shutDown();

    // Every endpoint listened on now, in the order of the ports; empty when
    // not listening.
    std::vector<BoundEndpoint> boundEndpoints();
    // The port of the first listener, or 0 when not listening.
    unsigned short getBoundPort();
    // The connections whose client ended while they keep their sockets.
    EndedSessions& endedSessions() { return *ended; }

    boost::signals2::signal<void(boost::shared_ptr<Session>)> newSessionSignal;
    // true when accepting pauses for lack of descriptors, false when it goes
    // on again (or the paused listeners are dropped), with the descriptors
    // free then and how many accepting waits for. Emitted on an IO thread,
    // in order.
    boost::signals2::signal<void(bool paused, std::uint64_t freeDescriptors, std::uint64_t resumeLevel)>
        acceptingPausedSignal;

private:
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

    void acceptNext(const Listener::Pointer& listener);
    void handleAccept(const Listener::Pointer& listener, boost::shared_ptr<Session> session,
                      const boost::system::error_code& error);
    void announce(const boost::shared_ptr<Session>& session);
    bool releaseEndedConnections();
    void retryAcceptLater(const Listener::Pointer& listener);
    void acceptAfter(const Listener::Pointer& listener, std::chrono::milliseconds delay);
    void dropListeners();
    void setAcceptingPaused(bool paused);

    std::array<IoThread, ioThreadCount> ioThreads;

    // The listeners are replaced and closed on the GUI thread while accept
    // handlers on the IO threads issue the next accept on them; the mutex
    // keeps the two apart. The listeners' timers and flags and the
    // descriptor bookkeeping are guarded by it as well.
    std::mutex acceptorMutex;
    std::vector<Listener::Pointer> listeners;
    DescriptorBudget descriptors;
    bool acceptingPaused = false;
    // The IO thread the next connection goes to.
    unsigned int nextSessionThread = 0;
    std::shared_ptr<EndedSessions> ended;

    // Keeps the paused/resumed announcements in the order they happened.
    boost::asio::strand<boost::asio::io_context::executor_type> announcementStrand;

    boost::thread_group threads;
    bool threadsStopped = false;
};
