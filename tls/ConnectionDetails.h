#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <string>

// What one connection negotiated, taken after its handshake. Holds no key
// material. Names come as the client sent them (SNI may hold any bytes but
// zero), to be escaped for display.
struct ConnectionDetails
{
    std::string version;    // "TLSv1.3"
    std::string cipher;     // "TLS_AES_256_GCM_SHA384"
    std::string serverName; // SNI; empty when the client sent none
    std::string alpn;       // the chosen protocol; empty when none
    bool resumed = false;
    // Empty when the client sent no certificate.
    std::string clientSubject;
    std::string clientIssuer;
    std::string clientFingerprint;
    // Measured by the caller: from the accept to the finished handshake.
    std::chrono::microseconds handshakeDuration{0};

    static ConnectionDetails of(const SSL* ssl);

    // One line for the log or a window: "TLSv1.3, TLS_AES_128_GCM_SHA256,
    // SNI example.test, ALPN h2, client certificate CN=test-client".
    std::string summary() const;
};
