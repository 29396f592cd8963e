#include "Server.h"

#include "FileDescriptors.h"
#include "Log.h"

#include <boost/asio/error.hpp>

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

// Counting the open descriptors reads /proc/self/fd, which costs more the
// more are open. Far from the limit an estimate does; it is made exact every
// so many accepts, and before every accept once it comes this close to the
// reserve.
constexpr unsigned int acceptsBetweenCounts = 1024;
constexpr std::uint64_t countingMargin = 256;

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
    : acceptsSinceCount(acceptsBetweenCounts)
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

void Server::startListening(unsigned int port)
{
    Log::line("Starting server...");
    const asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v4(), static_cast<unsigned short>(port));

    std::lock_guard<std::mutex> lock(acceptorMutex);
    dropAcceptor();
    acceptor = boost::make_shared<Acceptor>(acceptingContext());
    acceptor->open(endpoint.protocol());
    acceptor->set_option(Acceptor::reuse_address(true));
    acceptor->bind(endpoint);
    acceptor->listen(asio::socket_base::max_listen_connections);
    acceptNext(acceptor);
    Log::line("Server started.");
}

void Server::stopListening()
{
    Log::line("Stopping server...");
    boost::system::error_code closeError;
    {
        std::lock_guard<std::mutex> lock(acceptorMutex);
        if (acceptor)
            acceptor->close(closeError);
        dropAcceptor();
    }
    // The acceptor is gone even when closing reported a failure.
    if (closeError)
        throw boost::system::system_error(closeError);
    Log::line("Server stopped.");
}

// Called with acceptorMutex held. Closing aborts the pending accept; its
// handler sees that its acceptor is no longer the current one and stops.
void Server::dropAcceptor()
{
    if (acceptingPaused)
        setAcceptingPaused(false);
    if (retryTimer) {
        retryTimer->cancel();
        retryTimer.reset();
    }
    if (acceptor) {
        boost::system::error_code ignored;
        acceptor->close(ignored);
        acceptor.reset();
    }
}

unsigned short Server::getBoundPort()
{
    std::lock_guard<std::mutex> lock(acceptorMutex);
    if (!acceptor || !acceptor->is_open())
        return 0;
    boost::system::error_code error;
    const auto endpoint = acceptor->local_endpoint(error);
    return error ? 0 : endpoint.port();
}

// Called with acceptorMutex held.
bool Server::isCurrent(const AcceptorPtr& listener) const
{
    return listener && listener == acceptor && listener->is_open();
}

// Called with acceptorMutex held. Closing or replacing the listener normally
// aborts the outstanding accept, whose handler writes the loop's last line.
// When there was none to abort (listening stopped while an accepted client
// was being announced, or during a retry pause), the loop ends here with the
// line the aborted accept would have written: one such line either way.
void Server::acceptNext(const AcceptorPtr& listener)
{
    // The GUI thread takes acceptorMutex too: nothing here may wait for the log.
    const Log::NonBlockingScope neverWait;
    if (!isCurrent(listener)) {
        const boost::system::error_code aborted = asio::error::operation_aborted;
        Log::line("handleAccept error: ", aborted.message());
        return;
    }
    if (!descriptorsToSpare()) {
        if (!acceptingPaused) {
            Log::line("Accepting paused: too few file descriptors free");
            setAcceptingPaused(true);
        }
        acceptAfter(listener, pauseCheckInterval);
        return;
    }
    if (acceptingPaused) {
        Log::line("Accepting resumed.");
        setAcceptingPaused(false);
    }
    boost::shared_ptr<Session> session = Session::getInstance(nextSessionContext());
    listener->async_accept(session->getSocket(), session->getAcceptedEndpoint(),
                           asAcceptLoop([this, listener, session](const boost::system::error_code& error) {
                               handleAccept(listener, session, error);
                           }));
}

void Server::handleAccept(const AcceptorPtr& listener, boost::shared_ptr<Session> session,
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

// Called with acceptorMutex held. True when one more accepted connection
// still leaves descriptorReserve descriptors free; once paused, accepting
// waits for resumeHeadroom more, so that connections coming and going one by
// one do not pause and resume it over and over.
bool Server::descriptorsToSpare()
{
    const std::uint64_t limit = FileDescriptors::limit();
    if (limit == 0)
        return true;
    const std::uint64_t wanted = descriptorReserve + (acceptingPaused ? resumeHeadroom : 0);
    if (++acceptsSinceCount >= acceptsBetweenCounts || openDescriptorEstimate + wanted + countingMargin >= limit) {
        // The count's own directory descriptor is in use while it counts, and
        // counting goes on while paused: reckon with it, so the reserve stays
        // whole even then.
        openDescriptorEstimate = FileDescriptors::countOpen() + 1;
        acceptsSinceCount = 0;
    }
    if (openDescriptorEstimate + wanted >= limit)
        return false;
    ++openDescriptorEstimate;
    return true;
}

// Called with acceptorMutex held; listeners are called outside it.
void Server::setAcceptingPaused(bool paused)
{
    acceptingPaused = paused;
    asio::post(announcementStrand, [this, paused] {
        try {
            acceptingPausedSignal(paused);
        } catch (const std::exception& e) {
            Log::line("acceptingPausedSignal listener failed: ", e.what());
        } catch (...) {
            Log::line("acceptingPausedSignal listener failed with an unknown exception");
        }
    });
}

void Server::retryAcceptLater(const AcceptorPtr& listener)
{
    std::lock_guard<std::mutex> lock(acceptorMutex);
    if (!isCurrent(listener))
        return;
    acceptAfter(listener, acceptRetryDelay);
}

// Called with acceptorMutex held.
void Server::acceptAfter(const AcceptorPtr& listener, std::chrono::milliseconds delay)
{
    retryTimer = boost::make_shared<asio::steady_timer>(acceptingContext(), delay);
    // Cancelled only when the listener is dropped; acceptNext then ends the loop.
    retryTimer->async_wait([this, listener, timer = retryTimer](const boost::system::error_code&) {
        std::lock_guard<std::mutex> lock(acceptorMutex);
        if (retryTimer == timer)
            retryTimer.reset();
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
