#include "ConnectionEnd.h"

#include "TlsFailure.h"

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace asio = boost::asio;

namespace
{
// OpenSSL 3's own name for an end without close_notify. Asio 1.74 never lets
// OpenSSL see the end of the stream, so it reports stream_truncated instead;
// newer versions may pass this on.
bool isUnexpectedEof(const boost::system::error_code& error)
{
    return error.category() == asio::error::get_ssl_category()
        && ERR_GET_REASON(static_cast<unsigned int>(error.value())) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}
}

ConnectionEnd::ConnectionEnd(const boost::system::error_code& readError)
{
    // Asio reports a received close_notify as eof, and maps an end of the
    // TCP stream without one to stream_truncated.
    if (readError == asio::error::eof) {
        endKind = Kind::CloseNotify;
        description = "closed with close_notify";
    } else if (readError == asio::ssl::error::stream_truncated || isUnexpectedEof(readError)) {
        endKind = Kind::WithoutCloseNotify;
        description = "ended without close_notify";
    } else if (readError == asio::error::connection_reset) {
        endKind = Kind::Reset;
        description = "reset by the client";
    } else if (readError == asio::error::operation_aborted || readError == asio::error::bad_descriptor) {
        endKind = Kind::ClosedHere;
        description = "closed by the server";
    } else {
        endKind = Kind::Failed;
        description = "error: " + TlsFailure::describe(readError);
    }
}
