#include "TlsChannel.h"

#include "CloseNotify.h"
#include "ConnectionEnd.h"
#include "ListenerContext.h"
#include "TlsFailure.h"

#include <openssl/err.h>

#include <atomic>

namespace asio = boost::asio;

TlsChannel::TlsChannel(asio::ip::tcp::socket& socket, std::shared_ptr<ListenerContext> context)
    : listenerContext(std::move(context))
    , stream(socket, listenerContext->context())
    , timer(socket.get_executor())
{
}

TlsChannel::~TlsChannel() = default;

// Both handlers hold done, and with it the Session that owns this channel:
// neither runs after the channel is gone.
void TlsChannel::handshake(std::chrono::steady_clock::time_point acceptedAt, std::function<void()> done)
{
    // A client that stays silent must not hold its slot: at the limit the
    // socket closes, which ends the handshake.
    timer.expires_at(acceptedAt + listenerContext->handshakeTimeout());
    timer.async_wait([this, done](const boost::system::error_code& error) {
        if (error || finished)
            return;
        timedOut = true;
        boost::system::error_code ignored;
        stream.lowest_layer().close(ignored);
    });
    stream.async_handshake(asio::ssl::stream_base::server,
                           [this, acceptedAt, done](const boost::system::error_code& error) {
                               handshakeDone(error, acceptedAt);
                               done();
                           });
}

void TlsChannel::handshakeDone(const boost::system::error_code& error, std::chrono::steady_clock::time_point acceptedAt)
{
    finished = true;
    timer.cancel();
    if (error) {
        failureText = timedOut ? TlsFailure::timedOut(listenerContext->handshakeTimeout())
                               : TlsFailure::describe(error, stream.native_handle());
        // What OpenSSL queued on this thread must not show up at another connection.
        ERR_clear_error();
        return;
    }
    auto details = std::make_shared<ConnectionDetails>(ConnectionDetails::of(stream.native_handle()));
    details->handshakeDuration
        = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - acceptedAt);
    std::atomic_store(&negotiated, std::shared_ptr<const ConnectionDetails>(std::move(details)));
}

void TlsChannel::readChunk(std::string& buffer, ReadDone done)
{
    readRecord(buffer, 0, std::move(done));
}

void TlsChannel::readRecord(std::string& buffer, std::size_t gathered, ReadDone done)
{
    buffer.resize(gathered + recordSize);
    stream.async_read_some(boost::asio::buffer(&buffer[gathered], recordSize),
                           [this, &buffer, gathered, done = std::move(done)](const boost::system::error_code& error,
                                                                             std::size_t size) mutable {
                               const std::size_t total = gathered + size;
                               if (!error && total + recordSize <= maxChunkSize && nextRecordArrived())
                                   readRecord(buffer, total, std::move(done));
                               else
                                   done(error, total);
                           });
}

// True only when reading the next record cannot wait for the client: it is
// buffered whole, or the socket holds the rest of it. The stream has read
// whole records so far, so what is buffered starts with a record's header.
bool TlsChannel::nextRecordArrived()
{
    SSL* ssl = stream.native_handle();
    if (SSL_pending(ssl) > 0)
        return true;
    // The largest record of TLS 1.2 or 1.3, header and expansion included.
    constexpr std::size_t largestRecord = 5 + recordSize + 2048;
    BIO* input = SSL_get_rbio(ssl);
    const std::size_t buffered = BIO_ctrl_pending(input);
    char* header = nullptr;
    std::size_t needed = largestRecord;
    if (buffered >= 5 && BIO_nread0(input, &header) >= 5)
        needed = 5 + (static_cast<std::size_t>(static_cast<unsigned char>(header[3])) << 8
                      | static_cast<unsigned char>(header[4]));
    boost::system::error_code ignored;
    const std::size_t waiting = stream.lowest_layer().available(ignored);
    return buffered + waiting >= needed;
}

std::shared_ptr<const ConnectionDetails> TlsChannel::details() const
{
    return std::atomic_load(&negotiated);
}

std::string TlsChannel::takeCloseNotify()
{
    return CloseNotify::take(stream.native_handle());
}

std::string TlsChannel::summary(const ConnectionDetails& details)
{
    std::string text = details.summary();
    for (char& byte : text) {
        if (static_cast<unsigned char>(byte) < 0x20 || static_cast<unsigned char>(byte) >= 0x7f)
            byte = '?';
    }
    const auto micros = details.handshakeDuration.count();
    return text + "; handshake " + std::to_string(micros / 1000) + "." + std::to_string(micros % 1000 / 100) + " ms";
}

std::string TlsChannel::endOfReading(const boost::system::error_code& error, bool& endedByPeer)
{
    const ConnectionEnd end(error);
    endedByPeer = end.kind() == ConnectionEnd::Kind::CloseNotify || end.kind() == ConnectionEnd::Kind::WithoutCloseNotify;
    if (end.kind() == ConnectionEnd::Kind::CloseNotify)
        return std::string();
    return end.text();
}
