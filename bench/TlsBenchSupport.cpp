#include "TlsBenchSupport.h"

#include "BenchSupport.h"
#include "GeneratedCertificate.h"
#include "X509Text.h"

#include <openssl/err.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace Bench
{
TlsBenchCertificate::TlsBenchCertificate()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "brindlewick-bench-tls-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        fail("no temporary folder for the certificate");
    folder = pattern;
    const GeneratedCertificate::Outcome outcome = GeneratedCertificate::ensure(folder);
    if (!outcome.credentials)
        fail("no certificate: " + outcome.error);
    credentials = std::make_unique<ServerCredentials>(*outcome.credentials);
    trustPath = folder + "/trust.pem";
    std::string error;
    if (!credentials->exportTrustPem(trustPath, error))
        fail("the certificate cannot be exported: " + error);
}

TlsBenchCertificate::~TlsBenchCertificate()
{
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

std::shared_ptr<ListenerContext> TlsBenchCertificate::listenerContext() const
{
    std::string error;
    auto context = ListenerContext::create(*credentials, ListenerOptions(), error);
    if (!context)
        fail("no listener context: " + error);
    return context;
}

SslContextPtr tlsClientContext(const std::string& trustFile)
{
    SslContextPtr context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    if (!context || SSL_CTX_load_verify_locations(context.get(), trustFile.c_str(), nullptr) != 1)
        fail("no client context: " + X509Text::takeOpenSslErrors());
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_min_proto_version(context.get(), TLS1_3_VERSION);
    return context;
}

TlsConnection::TlsConnection(SSL* ssl, int fd)
    : ssl(ssl)
    , socket(fd)
{
}

TlsConnection::~TlsConnection()
{
    SSL_free(ssl);
    if (socket >= 0)
        ::close(socket);
}

std::unique_ptr<TlsConnection> TlsConnection::connect(SSL_CTX* context, unsigned short port)
{
    const int fd = connectLoopback(port);
    std::unique_ptr<TlsConnection> connection(new TlsConnection(SSL_new(context), fd));
    SSL_set_fd(connection->ssl, fd);
    SSL_set_tlsext_host_name(connection->ssl, "localhost");
    SSL_set1_host(connection->ssl, "localhost");
    if (SSL_connect(connection->ssl) != 1)
        fail("TLS handshake failed: " + X509Text::takeOpenSslErrors());
    return connection;
}

std::unique_ptr<TlsConnection> TlsConnection::accept(SSL_CTX* context, int fd)
{
    std::unique_ptr<TlsConnection> connection(new TlsConnection(SSL_new(context), fd));
    SSL_set_fd(connection->ssl, fd);
    if (SSL_accept(connection->ssl) != 1)
        fail("TLS handshake failed: " + X509Text::takeOpenSslErrors());
    return connection;
}

void TlsConnection::writeAll(const char* data, std::size_t size)
{
    std::size_t written = 0;
    if (size > 0 && SSL_write_ex(ssl, data, size, &written) != 1)
        fail("TLS write failed: " + X509Text::takeOpenSslErrors());
}

std::size_t TlsConnection::readSome(char* data, std::size_t size)
{
    std::size_t got = 0;
    if (SSL_read_ex(ssl, data, size, &got) == 1)
        return got;
    ERR_clear_error();
    return 0;
}

void TlsConnection::close()
{
    SSL_shutdown(ssl);
    ::close(socket);
    socket = -1;
}
}
