#pragma once

#include <boost/system/error_code.hpp>

#include <string>

// How reading from a TLS connection ended, told from the error its
// async_read_some completed with. A client that ends its TCP stream without
// a close_notify alert is common (many close the socket at once) and is not
// an error; a real error is a reset or a failure of TLS itself.
class ConnectionEnd
{
public:
    enum class Kind
    {
        // The client sent close_notify: it ends its sending, cleanly.
        CloseNotify,
        // The TCP stream ended without close_notify (Asio's stream_truncated).
        WithoutCloseNotify,
        Reset,
        // The server closed the connection itself (the operation was aborted).
        ClosedHere,
        Failed
    };

    explicit ConnectionEnd(const boost::system::error_code& readError);

    Kind kind() const { return endKind; }
    bool isError() const { return endKind == Kind::Reset || endKind == Kind::Failed; }
    // "closed with close_notify", "ended without close_notify", "reset by
    // the client", "closed by the server", or "error: " and the reason.
    const std::string& text() const { return description; }

private:
    Kind endKind;
    std::string description;
};
