#include "TlsFailure.h"

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <cstring>
#include <system_error>

namespace TlsFailure
{
namespace
{
// OpenSSL names alerts after the protocol version that defined them
// ("tlsv1 alert unknown ca"); the version says nothing to the reader.
std::string withoutAlertVersion(std::string reason)
{
    for (const char* prefix : {"sslv3 alert ", "tlsv1 alert ", "tlsv13 alert "}) {
        if (reason.compare(0, std::strlen(prefix), prefix) == 0)
            return reason.substr(std::strlen(prefix) - std::strlen("alert "));
    }
    return reason;
}

std::string openSslReason(const boost::system::error_code& error, const SSL* ssl)
{
    // Asio keeps OpenSSL's packed error code in the int.
    const unsigned long code = static_cast<unsigned int>(error.value());
    if (ERR_SYSTEM_ERROR(code))
        return std::generic_category().message(static_cast<int>(ERR_GET_REASON(code)));
    // An SSLv3 hello gets a reason of its own; TLS 1.0 and 1.1 get "unsupported protocol".
    if (ERR_GET_REASON(code) == SSL_R_VERSION_TOO_LOW)
        return "unsupported protocol (version too low)";
    const char* reason = ERR_reason_error_string(code);
    std::string text = reason ? withoutAlertVersion(reason) : "TLS error " + std::to_string(code);
    if (ssl && ERR_GET_REASON(code) == SSL_R_CERTIFICATE_VERIFY_FAILED) {
        const long verifyResult = SSL_get_verify_result(ssl);
        if (verifyResult != X509_V_OK)
            text += std::string(": ") + X509_verify_cert_error_string(verifyResult);
    }
    return text;
}
}

std::string describe(const boost::system::error_code& error, const SSL* ssl)
{
    namespace asio = boost::asio;
    if (error.category() == asio::error::get_ssl_category())
        return openSslReason(error, ssl);
    if (error == asio::ssl::error::stream_truncated || error == asio::error::eof)
        return "the client closed the connection during the handshake";
    if (error == asio::error::connection_reset)
        return "the client reset the connection during the handshake";
    if (error == asio::error::operation_aborted)
        return "the handshake was cancelled";
    return error.message();
}

std::string timedOut(std::chrono::milliseconds limit)
{
    const long long count = limit.count();
    const std::string amount = count % 1000 == 0 ? std::to_string(count / 1000) + " s" : std::to_string(count) + " ms";
    return "timeout: no finished handshake within " + amount;
}
}
