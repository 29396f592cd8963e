#pragma once

#include <boost/system/error_code.hpp>
#include <openssl/ssl.h>

#include <chrono>
#include <string>

// Why a handshake failed, short and in OpenSSL's words where it has them:
// "alert unknown ca", "no shared cipher", "wrong version number" (a client
// that does not speak TLS), "unsupported protocol" (an SSLv3 or TLS 1.0
// hello). Never holds key material.
namespace TlsFailure
{
// For the error a handshake completed with. With the connection's ssl, a
// refused client certificate says why it was refused.
std::string describe(const boost::system::error_code& error, const SSL* ssl = nullptr);
// For a handshake that the caller's timer ended.
std::string timedOut(std::chrono::milliseconds limit);
}
