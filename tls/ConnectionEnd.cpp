#include "ConnectionEnd.h"

#include "TlsFailure.h"

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>

namespace asio = boost::asio;

ConnectionEnd::ConnectionEnd(const boost::system::error_code& readError)
{
    // Asio reports a received close_notify as eof, and maps an end of the
    // TCP stream without one to stream_truncated.
    if (readError == asio::error::eof) {
        endKind = Kind::CloseNotify;
        description = "closed with close_notify";
    } else if (readError == asio::ssl::error::stream_truncated) {
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
