#pragma once

#include "BoundEndpoint.h"
#include "SendQueue.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class ConnectionDetails;
class EndedSessions;
class ListenerContext;
class TlsChannel;

// One accepted TCP connection. Reads whatever the client sends, chunk by chunk,
// and reports every chunk on readSignal; the empty string means that reading
// has ended. Every use of the socket runs on the Session's strand, so the GUI
// thread may call start, send, close and the pause controls at any time.
//
// A connection that can carry nothing more either way (reading ended with a
// reset or an error rather than the end of the stream, or a write failed after
// the client had ended its sending) gives its socket back at once, so that
// dead connections whose windows stay open hold no descriptors. A client
// that only ended its sending keeps the socket for the replies, and enters
// the Server's EndedSessions until it closes or releases its socket: when
// descriptors run short, the oldest of those release theirs for new clients.
//
// A connection to a TLS listener shakes hands from the accept on (see
// TlsChannel); start() then reports how the handshake went before anything
// else, and the Session reads and writes the plaintext.
class Session : public boost::enable_shared_from_this<Session>
{
public:
    // The most one read takes from the socket, and so the largest chunk.
    static constexpr std::size_t maxChunkSize = 1000000;
    // A file is sent in blocks of this size, one block in memory at a time.
    static constexpr std::size_t fileBlockSize = SendQueue::fileBlockSize;

    // endedSessions, if given, is where this Session enters once its client
    // ended its sending.
    static boost::shared_ptr<Session> getInstance(boost::asio::io_context& ioService,
                                                  std::shared_ptr<EndedSessions> endedSessions = nullptr);

    explicit Session(boost::asio::io_context& ioService, std::shared_ptr<EndedSessions> endedSessions = nullptr);
    virtual ~Session();

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    boost::asio::ip::tcp::socket& getSocket();

    // Where the accept stores the client's address and port.
    boost::asio::ip::tcp::endpoint& getAcceptedEndpoint();
    // Called by the accept handler once the socket is connected; remembers the
    // client's address as text so that it can be told even after the client
    // reset. An IPv4 client reaching an IPv6 socket is written as IPv4.
    void recordEndpoint();
    // The client's address and port, and this side's, as the accept left them.
    const boost::asio::ip::tcp::endpoint& getClientEndpoint() const { return acceptedEndpoint; }
    const boost::asio::ip::tcp::endpoint& getLocalEndpoint() const { return localEndpoint; }
    // The listener that accepted this connection (its bound address and
    // port); set by the accept handler before the Session is announced.
    void setListenerEndpoint(BoundEndpoint listener);
    const BoundEndpoint& getListenerEndpoint() const;
    // Called by the accept handler, after recordEndpoint and before the
    // Session is announced, for a connection to a TLS listener: the
    // handshake starts at once, on the strand.
    void useTls(std::shared_ptr<ListenerContext> context);
    bool usesTls() const { return tls != nullptr; }
    // Any thread: what the TLS handshake negotiated; null until it succeeded
    // (and for a plain connection).
    std::shared_ptr<const ConnectionDetails> tlsDetails() const;

    void start();
    // Queues data for writing and returns its number among this Session's
    // sends (1, 2, 3, ...); its outcome is reported on sendResultSignal.
    std::uint64_t send(std::string data);
    // Sends bytes as writes of pieceSize bytes with delay between them, queued
    // in order with the other sends; one result once the last piece went out.
    // A pieceSize of 0 is refused: returns 0 and sends nothing.
    std::uint64_t sendInPieces(std::string bytes, std::size_t pieceSize, std::chrono::milliseconds delay);
    // Sends header (may be empty), then the file's bytes up to its end or up
    // to sizeLimit bytes, whichever comes first, streamed in blocks of
    // fileBlockSize: a file that grows while it is sent does not overrun what
    // the header announced. The file is opened when the send's turn comes. A
    // file that cannot be opened or read ends the send with the system's
    // reason.
    std::uint64_t sendFile(std::string header, const std::string& path,
                           std::uint64_t sizeLimit = static_cast<std::uint64_t>(-1));
    // Once the sends queued before have gone out, shuts down the sending
    // side: the client reads the end of the stream. Reading goes on. Sends
    // queued later fail with "sending was closed".
    void closeSending();
    // Abortive close: the client sees a reset. Queued sends fail with
    // "connection reset by the server"; reading ends.
    void resetConnection();
    void close();
    // On the strand: if the client has ended its sending and the socket is
    // still held, closes it and reports Event::ReleasedForNewClients.
    // Called by EndedSessions when new clients need the descriptor.
    void releaseForNewClients();
    // False once the socket was closed or given back, or its sending side
    // closed or reset.
    bool canSend() const;
    std::string getEndpointString() const;

    // The strand every use of the socket runs on: for timers and work that
    // must not run beside this connection's handlers.
    using Executor = boost::asio::strand<boost::asio::io_context::executor_type>;
    const Executor& getExecutor() const { return strand; }

    // What happened to the connection itself, reported on eventSignal.
    enum class Event
    {
        ReadEndedByPeer, // the client ended its sending
        ReadFailed,      // reading ended with an error (detail: the reason), a reset among them
        SendingClosed,   // this side's end of the stream went out
        ResetByServer,   // this side reset the connection
        // The socket of a connection whose client had ended was given back
        // so that new clients could be accepted: nothing can be sent any more.
        ReleasedForNewClients,
        // The TLS handshake succeeded (detail: what it negotiated, in one
        // line; tlsDetails() has it all) or failed (detail: why). Reported
        // first; after a failure reading ends and nothing can be sent.
        TlsEstablished,
        TlsFailed,
    };

    // Flow control: while paused, the read loop stops after the chunk being
    // delivered and TCP pushes back on this client. Safe from any thread,
    // including from inside a readSignal listener.
    void pauseReading();
    void resumeReading();

    // Listeners get the chunk by reference: a by-value signal copies its
    // argument twice more per listener, up to a megabyte each time.
    boost::signals2::signal<void(const std::string&)> readSignal;
    // Emitted on the strand once a write has ended: the send's number and the
    // empty string when all of it was written, otherwise the error.
    boost::signals2::signal<void(std::uint64_t id, const std::string& error)> sendResultSignal;
    // Emitted on the strand for every write once it has ended, before the
    // send's result: the send's number and the bytes that went out (a reply,
    // a piece, a file's header or one of its blocks). A write that failed
    // reports the part that went out before the failure, if any.
    boost::signals2::signal<void(std::uint64_t id, const std::string& bytes)> sentDataSignal;
    // Emitted on the strand, in the order things happened, before readSignal
    // reports the end of reading.
    boost::signals2::signal<void(Event event, const std::string& detail)> eventSignal;

private:
    void readNext();
    void handleReadable(const boost::system::error_code& error);
    std::size_t readWaitingBytes(boost::system::error_code& error);
    void handleRead(const boost::system::error_code& error, std::size_t bytesRead);
    void deliver(std::size_t bytesRead);
    void endReading(const boost::system::error_code& error);
    void handshakeEnded();
    void reportHandshake();
    SendQueue::Connection queueConnection();
    void enqueue(SendQueue::Item item);
    void write(const char* bytes, std::size_t size, SendQueue::WriteDone done);
    void endSending(std::function<void()> done);
    void shutDownSending();
    void abortConnection();
    void reportSendResult(std::uint64_t id, const std::string& error);
    void reportSentData(std::uint64_t id, const std::string& bytes);
    void reportEvent(Event event, const std::string& detail);
    void releaseSocket();
    void enterEndedSessions();
    void leaveEndedSessions();

    boost::asio::strand<boost::asio::io_context::executor_type> strand;
    boost::asio::ip::tcp::socket socket;
    boost::asio::ip::tcp::endpoint acceptedEndpoint;
    boost::asio::ip::tcp::endpoint localEndpoint;
    std::string endpointText;
    BoundEndpoint listenerEndpoint;
    std::shared_ptr<EndedSessions> endedSessions;
    // Strand-only: this Session's entry in endedSessions, 0 when none.
    std::uint64_t endedTicket = 0;
    std::chrono::steady_clock::time_point acceptedAt;
    // Set before the Session is announced; used on the strand.
    std::unique_ptr<TlsChannel> tls;
    // Strand-only: start() was called.
    bool started = false;

    // Strand-only: the sends, written one after the other.
    SendQueue sendQueue;
    bool readParked = false;
    bool readEnded = false;
    // Reading ended with the end of the stream: the client ended its sending.
    bool readEndedByPeer = false;

    std::atomic<bool> readPaused{false};
    std::atomic<bool> socketUsable{true};
    std::atomic<bool> sendingEnded{false};
    std::atomic<std::uint64_t> lastSendId{0};

    // The read buffer, strand-only. A read goes straight into it and the same
    // string is what listeners receive, so a chunk is never copied on its way
    // out. It grows to what the socket holds when a read starts, up to
    // maxChunkSize, and keeps its capacity: an idle connection owns no buffer
    // at all, and a streaming one reuses the same block for every chunk.
    std::string data;
};
