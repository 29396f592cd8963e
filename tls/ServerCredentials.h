#pragma once

#include "OpenSslHandles.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// The certificate chain and private key the server presents, checked when
// they are loaded: readable, PEM, the key belongs to the certificate, and
// every certificate is valid now. Copies share the same OpenSSL objects.
class ServerCredentials
{
public:
    static constexpr std::size_t maxFileSize = 1024 * 1024;

    // The user's own files: the chain with the server's certificate first,
    // and its key (both may be one file). On a problem returns nothing and
    // error names the file and the problem, e.g. "server.pem: the
    // certificate expired on 2024-01-02".
    static std::optional<ServerCredentials> fromFiles(const std::string& chainPath, const std::string& keyPath,
                                                      std::string& error);
    // The same checks on PEM text; chainName and keyName stand for it in messages.
    static std::optional<ServerCredentials> fromPem(const std::string& chainPem, const std::string& chainName,
                                                    const std::string& keyPem, const std::string& keyName,
                                                    std::string& error);

    X509* certificate() const { return chainCertificates.front().get(); }
    // The server's certificate first, then the rest of the chain in order.
    const std::vector<SharedX509>& chain() const { return chainCertificates; }
    EVP_PKEY* privateKey() const { return key.get(); }

    std::string fingerprintSha256() const;
    std::string subject() const;
    std::string validUntil() const;

    // What a client must trust to accept this server (curl --cacert): the
    // last certificate of the chain, which for a self-signed certificate is
    // the certificate itself.
    std::string trustPem() const;
    bool exportTrustPem(const std::string& path, std::string& error) const;

private:
    ServerCredentials(std::vector<SharedX509> chain, SharedKey key);

    static std::string validityProblem(const X509* certificate);

    std::vector<SharedX509> chainCertificates;
    SharedKey key;
};
