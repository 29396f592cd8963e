#include "Server.h"

#include "ListenerContext.h"
#include "Log.h"
#include "RaceDetectorHandOff.h"

#include <boost/asio/error.hpp>

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>
#include <utility>

namespace asio = boost::asio;

namespace
{
// After an accept error other than the acceptor being closed (out of file
// descriptors, a connection aborted in the backlog) the loop waits this long
// and accepts again; retrying at once would spin.
constexpr std::chrono::milliseconds acceptRetryDelay(150);

// After asking ended connections to release their sockets, the loop looks
// again this soon: the sockets close on their strands, in a moment.
constexpr std::chrono::milliseconds releaseSettleDelay(10);

// The accept loop issues each accept from the handler of the previous one.
// Marking its handler as a continuation lets Asio run an accept that
// completes at once (another client is already waiting) on the same IO thread
// right after the current handler, instead of queueing it and waking the
// other thread: under a burst of clients that hand-off cost more than the
// accept itself.
template <typename Handler>
struct AcceptLoopHandler
{
    Handler handler;

    void operator()(const boost::system::error_code& error) { handler(error); }

    friend bool asio_handler_is_continuation(AcceptLoopHandler*) { return true; }
};

template <typename Handler>
AcceptLoopHandler<Handler> asAcceptLoop(Handler handler)
{
    return AcceptLoopHandler<Handler>{std::move(handler)};
}
}

Server::Server()
    : ended(std::make_shared<EndedSessions>())
    , announcementStrand(asio::make_strand(ioThreads[0].context))
{
    Log::line("Creating server...");
    startThreads(ioThreadCount);
    announcementStrand = asio::make_strand(acceptingContext());
    Log::line("Server created.");
}

Server::~Server()
{
    if (!threadsStopped) {
        for (IoThread& thread : ioThreads) {
            thread.work.reset();
            thread.context.stop();
        }
        threads.join_all();
    }
}

void Server::startThreads(int count)
{
    Log::line("Starting threads...");
    for (int i = 1; i <= count; ++i) {
        Log::line("starting thread ", i);
        IoThread& thread = ioThreads[static_cast<std::size_t>(i - 1)];
        try {
            threads.create_thread([this, &thread] { runIoThread(thread); });
            thread.started = true;
        } catch (const std::exception&) {
            Log::line("Couldn't create thread nr ", i);
        }
    }
    Log::line("Threads started...");
}

// The listener, its retry timer and its announcements live on the first IO
// thread that runs.
asio::io_context& Server::acceptingContext()
{
    for (IoThread& thread : ioThreads)
        if (thread.started)
            return thread.context;
    return ioThreads[0].context;
}

// Called with acceptorMutex held: the IO threads that run, in turn.
asio::io_context& Server::nextSessionContext()
{
    for (std::size_t tried = 0; tried < ioThreads.size(); ++tried) {
        IoThread& thread = ioThreads[nextSessionThread++ % ioThreads.size()];
        if (thread.started)
            return thread.context;
    }
    return acceptingContext();
}

// Nothing thrown by a handler may end an IO thread: log it and run on.
void Server::runIoThread(IoThread& thread)
{
    for (;;) {
        try {
            thread.context.run();
            return;
        } catch (const std::exception& e) {
            Log::line("IO thread caught exception: ", e.what());
        } catch (...) {
            Log::line("IO thread caught an unknown exception");
        }
    }
}

ListenResult Server::startListening(const BindAddress& where, const std::vector<unsigned int>& ports)
{
    std::vector<ListenPlace> places;
    for (const unsigned int port : ports)
        places.push_back(ListenPlace{where, port, nullptr});
    return startListening(places);
}

ListenResult Server::startListening(const std::vector<ListenPlace>& places)
{
    Log::line("Starting server...");
    std::lock_guard<std::mutex> lock(acceptorMutex);
    dropListeners();
    ListenResult result;
    for (const ListenPlace& place : places) {
        const std::size_t boundBefore = result.bound.size();
        for (Listener::Pointer& listener :
             Listener::openForPort(acceptingContext(), place.where, static_cast<unsigned short>(place.port), result)) {
            listener->tls = place.tls;
            listener->bound.tls = place.tls != nullptr;
            listeners.push_back(std::move(listener));
        }
        for (std::size_t index = boundBefore; index < result.bound.size(); ++index) {
            result.bound[index].tls = place.tls != nullptr;
            if (place.tls)
                Log::line("TLS on ", result.bound[index].text(), ": certificate ",
                          place.tls->credentials().subject(), ", SHA-256 ",
                          place.tls->credentials().fingerprintSha256());
        }
    }
    for (const Listener::Pointer& listener : listeners)
        acceptNext(listener);
    if (!listeners.empty())
        Log::line("Server started.");
    return result;
}

void Server::stopListening()
{
    Log::line("Stopping server...");
    {
        std::lock_guard<std::mutex> lock(acceptorMutex);
        dropListeners();
    }
    Log::line("Server stopped.");
}

// Called with acceptorMutex held. Closing aborts the pending accept; its
// handler sees that its listener is no longer current and stops.
void Server::dropListeners()
{
    if (acceptingPaused)
        setAcceptingPaused(false);
    for (const Listener::Pointer& listener : listeners) {
        listener->current = false;
        if (listener->retryTimer) {
            listener->retryTimer->cancel();
            listener->retryTimer.reset();
        }
        boost::system::error_code ignored;
        listener->acceptor.close(ignored);
    }
    listeners.clear();
}

std::vector<BoundEndpoint> Server::boundEndpoints()
{
    std::lock_guard<std::mutex> lock(acceptorMutex);
    std::vector<BoundEndpoint> endpoints;
    for (const Listener::Pointer& listener : listeners)
        endpoints.push_back(listener->bound);
    return endpoints;
}

unsigned short Server::getBoundPort()
{
    std::lock_guard<std::mutex> lock(acceptorMutex);
    return listeners.empty() ? 0 : listeners.front()->bound.port;
}

// Called with acceptorMutex held. Closing or replacing the listener normally
// aborts the outstanding accept, whose handler writes the loop's last line.
// When there was none to abort (listening stopped while an accepted client
// was being announced, or during a retry pause), the loop ends here with the
// line the aborted accept would have written: one such line either way.
void Server::acceptNext(const Listener::Pointer& listener)
{
    // The GUI thread takes acceptorMutex too: nothing here may wait for the log.
    const Log::NonBlockingScope neverWait;
    if (!listener->current) {
        const boost::system::error_code aborted = asio::error::operation_aborted;
        Log::line("handleAccept error: ", aborted.message());
        return;
    }
    if (!descriptors.allowsAnotherConnection(acceptingPaused)) {
        if (releaseEndedConnections()) {
            acceptAfter(listener, releaseSettleDelay);
            return;
        }
        if (!acceptingPaused) {
            Log::line("Accepting paused: too few file descriptors free (", descriptors.freeAtLastCheck(),
                      " free, waiting for ", descriptors.resumeLevel(), ")");
            setAcceptingPaused(true);
        }
        acceptAfter(listener, pauseCheckInterval);
        return;
    }
    if (acceptingPaused) {
        Log::line("Accepting resumed.");
        setAcceptingPaused(false);
    }
    boost::shared_ptr<Session> session = Session::getInstance(nextSessionContext(), ended);
    listener->acceptor.async_accept(session->getSocket(), session->getAcceptedEndpoint(),
                                    asAcceptLoop([this, listener, session](const boost::system::error_code& error) {
                                        handleAccept(listener, session, error);
                                    }));
}

// Called with acceptorMutex held. Asks as many ended connections as accepting
// falls short of its resume level to give their sockets back, or waits for
// those asked before; false when there are none.
bool Server::releaseEndedConnections()
{
    if (ended->releasesUnderWay())
        return true;
    const std::uint64_t wanted = descriptors.resumeLevel() - std::min(descriptors.freeAtLastCheck(),
                                                                      descriptors.resumeLevel() - 1);
    const std::size_t released = ended->releaseOldest(static_cast<std::size_t>(wanted));
    if (released > 0)
        Log::line("Releasing ", released, " ended connections: too few file descriptors free (",
                  descriptors.freeAtLastCheck(), " free)");
    return released > 0;
}

void Server::handleAccept(const Listener::Pointer& listener, boost::shared_ptr<Session> session,
                          const boost::system::error_code& error)
{
    if (error) {
        Log::line("handleAccept error: ", error.message());
        if (error != asio::error::operation_aborted)
            retryAcceptLater(listener);
        return;
    }

    Log::line("Connection accepted...");
    session->recordEndpoint();
    session->setListenerEndpoint(listener->bound);
    if (listener->tls)
        session->useTls(listener->tls);
    // The socket was accepted on this thread; the session's own thread
    // touches it next, once whoever is told starts it.
    RaceDetectorHandOff::handedOver(session.get());
    announce(session);
    session.reset();

    std::lock_guard<std::mutex> lock(acceptorMutex);
    acceptNext(listener);
}

// A listener that throws must not end the accept loop.
void Server::announce(const boost::shared_ptr<Session>& session)
{
    try {
        newSessionSignal(session);
    } catch (const std::exception& e) {
        Log::line("newSessionSignal listener failed: ", e.what());
    } catch (...) {
        Log::line("newSessionSignal listener failed with an unknown exception");
    }
}

// Called with acceptorMutex held; listeners are called outside it.
void Server::setAcceptingPaused(bool paused)
{
    acceptingPaused = paused;
    const std::uint64_t freeDescriptors = descriptors.freeAtLastCheck();
    const std::uint64_t resumeLevel = descriptors.resumeLevel();
    asio::post(announcementStrand, [this, paused, freeDescriptors, resumeLevel] {
        try {
            acceptingPausedSignal(paused, freeDescriptors, resumeLevel);
        } catch (const std::exception& e) {
            Log::line("acceptingPausedSignal listener failed: ", e.what());
        } catch (...) {
            Log::line("acceptingPausedSignal listener failed with an unknown exception");
        }
    });
}

void Server::retryAcceptLater(const Listener::Pointer& listener)
{
    std::lock_guard<std::mutex> lock(acceptorMutex);
    if (!listener->current)
        return;
    acceptAfter(listener, acceptRetryDelay);
}

// Called with acceptorMutex held.
void Server::acceptAfter(const Listener::Pointer& listener, std::chrono::milliseconds delay)
{
    listener->retryTimer = boost::make_shared<asio::steady_timer>(acceptingContext(), delay);
    // Cancelled only when the listener is dropped; acceptNext then ends the loop.
    listener->retryTimer->async_wait([this, listener, timer = listener->retryTimer](const boost::system::error_code&) {
        std::lock_guard<std::mutex> lock(acceptorMutex);
        if (listener->retryTimer == timer)
            listener->retryTimer.reset();
        acceptNext(listener);
    });
}

void Server::shutDown()
{
    Log::line("Shutting down Server...");
    for (IoThread& thread : ioThreads)
        thread.work.reset();
    stopThreads();
    Log::line("Shutting down Server finished.");
}

void Server::stopThreads()
{
    Log::line("Stopping all IO threads...");
    threads.interrupt_all();
    threads.join_all();
    threadsStopped = true;
    Log::line("Io threads stopped.");
    for (IoThread& thread : ioThreads) {
        thread.context.stop();
        thread.context.restart();
    }
}
