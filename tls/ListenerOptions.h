#pragma once

#include <chrono>
#include <string>
#include <vector>

enum class TlsVersion
{
    Tls12,
    Tls13
};

enum class ClientCertificates
{
    Off,
    // Asked for; a client without one is served all the same, one with a
    // certificate the CA file does not vouch for is refused.
    Requested,
    // A client without one, or with one the CA file does not vouch for, is refused.
    Required
};

// How a TLS listener serves its clients; one ListenerContext is built from it.
struct ListenerOptions
{
    TlsVersion lowestVersion = TlsVersion::Tls12;
    TlsVersion highestVersion = TlsVersion::Tls13;
    // Application protocols (ALPN) in the server's order of preference: the
    // first of these that the client offers is chosen. Empty: none.
    std::vector<std::string> alpnProtocols;
    ClientCertificates clientCertificates = ClientCertificates::Off;
    // The PEM certificates that vouch for client certificates; needed unless Off.
    std::string clientCaFile;
    // Where the secrets of every connection are appended for decrypting a
    // capture (SSLKEYLOGFILE format). Empty: no key log.
    std::string keyLogFile;
    // How long a client may take from connecting to a finished handshake.
    // The caller applies it (a timer on the connection's strand).
    std::chrono::milliseconds handshakeTimeout{10000};
};

inline const char* versionName(TlsVersion version)
{
    return version == TlsVersion::Tls12 ? "TLS 1.2" : "TLS 1.3";
}
