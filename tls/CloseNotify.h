#pragma once

#include <openssl/ssl.h>

#include <string>

// Ending the server's side of a TLS connection without waiting for the
// client's close_notify. Asio's async_shutdown sends ours and then reads on
// until the client's arrives, and what the client still sends meanwhile
// never reaches a read.
class CloseNotify
{
public:
    // Makes the close_notify record and returns its bytes, to be written as
    // they are to the stream's lowest layer, in their place among the
    // stream's writes: no write on the stream may be under way, and none of
    // its writes may follow (OpenSSL refuses them). Reading goes on: the
    // client's data and its own close_notify still come through
    // async_read_some. Empty when the handshake has not finished or
    // close_notify was already made.
    static std::string take(SSL* ssl);

    // For closing the whole connection: counts the client's close_notify as
    // received, so that an async_shutdown that follows completes as soon as
    // ours is written. Reading ends with it (eof).
    static void stopWaitingForClient(SSL* ssl);
};
