#pragma once

// TLS for the benchmarks: the server's certificate, made for the run, and
// blocking OpenSSL clients and servers on loopback sockets for the senders,
// clients and baselines. Every failure ends the benchmark (Bench::fail).

#include "ListenerContext.h"

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>

namespace Bench
{
// A certificate generated for localhost into a temporary folder, removed
// with it, as the program makes its own.
class TlsBenchCertificate
{
public:
    TlsBenchCertificate();
    ~TlsBenchCertificate();
    TlsBenchCertificate(const TlsBenchCertificate&) = delete;
    TlsBenchCertificate& operator=(const TlsBenchCertificate&) = delete;

    // A listener's context as the program makes one.
    std::shared_ptr<ListenerContext> listenerContext() const;
    // The PEM a client trusts.
    const std::string& trustFile() const { return trustPath; }

private:
    std::string folder;
    std::string trustPath;
    std::unique_ptr<ServerCredentials> credentials;
};

// An OpenSSL SSL_CTX, freed with it.
using SslContextPtr = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;

// A client context that trusts trustFile and checks the name localhost;
// TLS 1.3, so AES-GCM.
SslContextPtr tlsClientContext(const std::string& trustFile);

// One blocking TLS connection on a connected socket, which it closes.
class TlsConnection
{
public:
    // Connects to 127.0.0.1 and shakes hands as a client.
    static std::unique_ptr<TlsConnection> connect(SSL_CTX* context, unsigned short port);
    // Shakes hands as a server on an accepted socket.
    static std::unique_ptr<TlsConnection> accept(SSL_CTX* context, int fd);
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    void writeAll(const char* data, std::size_t size);
    // Up to size bytes; 0 at the end of the stream.
    std::size_t readSome(char* data, std::size_t size);
    // Sends close_notify and closes the socket.
    void close();
    int fd() const { return socket; }

private:
    TlsConnection(SSL* ssl, int fd);

    SSL* ssl;
    int socket;
};
}
