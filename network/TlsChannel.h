#pragma once

#include "ConnectionDetails.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class ListenerContext;

// The TLS layer of one Session: an ssl::stream over the Session's own socket,
// so that closing, resetting and shutting down the TCP connection stay the
// Session's. Strand-only, like the socket, except details().
//
// The handshake starts at the accept and runs under the listener's timeout;
// the Session reads and writes through this layer once it has succeeded.
class TlsChannel
{
public:
    // The largest plaintext one TLS record carries.
    static constexpr std::size_t recordSize = 16384;
    // The most one chunk gathers from records that arrive in a row.
    static constexpr std::size_t maxChunkSize = 16 * recordSize;
    using ReadDone = std::function<void(const boost::system::error_code& error, std::size_t size)>;

    TlsChannel(boost::asio::ip::tcp::socket& socket, std::shared_ptr<ListenerContext> context);
    ~TlsChannel();

    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // Strand: runs the handshake; done is called on the strand once it
    // succeeded or failed (failure() tells which). The timeout counts from
    // acceptedAt.
    void handshake(std::chrono::steady_clock::time_point acceptedAt, std::function<void()> done);
    bool handshakeFinished() const { return finished; }
    // Why the handshake failed, in OpenSSL's words; empty when it succeeded.
    const std::string& failure() const { return failureText; }
    // Any thread: what the handshake negotiated, null until it succeeded.
    std::shared_ptr<const ConnectionDetails> details() const;

    // Reads one record's plaintext into buffer, and then the records that
    // follow as long as they are there already: the program's work per chunk
    // is then paid once for many records, as for a plain connection's larger
    // reads. done gets the size read (buffer is at least that long) and the
    // error that ended reading, if any: both may come at once.
    void readChunk(std::string& buffer, ReadDone done);

    // Up to recordSize bytes go out as one record.
    template <typename Handler>
    void write(const char* bytes, std::size_t size, Handler&& handler)
    {
        boost::asio::async_write(stream, boost::asio::buffer(bytes, size), std::forward<Handler>(handler));
    }

    // The close_notify alert, to be written to the socket as it is; no TLS
    // write may follow it. Empty when there is nothing to send.
    std::string takeCloseNotify();
    // What the handshake negotiated and how long it took, in one line for
    // the log and the transcript; bytes a client chose (its SNI) that are
    // not printable show as '?'.
    static std::string summary(const ConnectionDetails& details);
    // How reading ended, for people: "ended without close_notify", ...
    static std::string endOfReading(const boost::system::error_code& error, bool& endedByPeer);

private:
    void handshakeDone(const boost::system::error_code& error, std::chrono::steady_clock::time_point acceptedAt);
    void readRecord(std::string& buffer, std::size_t gathered, ReadDone done);
    bool nextRecordArrived();

    const std::shared_ptr<ListenerContext> listenerContext;
    boost::asio::ssl::stream<boost::asio::ip::tcp::socket&> stream;
    boost::asio::steady_timer timer;
    bool finished = false;
    bool timedOut = false;
    std::string failureText;
    std::shared_ptr<const ConnectionDetails> negotiated; // read with std::atomic_load
};
