#include "ServerCredentials.h"

#include "PemReader.h"
#include "SafeFiles.h"
#include "X509Text.h"

#include <openssl/err.h>

#include <utility>

ServerCredentials::ServerCredentials(std::vector<SharedX509> chain, SharedKey key)
    : chainCertificates(std::move(chain))
    , key(std::move(key))
{
}

std::optional<ServerCredentials> ServerCredentials::fromFiles(const std::string& chainPath, const std::string& keyPath,
                                                              std::string& error)
{
    std::string chainPem;
    std::string keyPem;
    std::string problem;
    if (!SafeFiles::readSmallFile(chainPath, maxFileSize, chainPem, problem)) {
        error = SafeFiles::fileName(chainPath) + ": " + problem;
        return std::nullopt;
    }
    if (keyPath == chainPath)
        keyPem = chainPem;
    else if (!SafeFiles::readSmallFile(keyPath, maxFileSize, keyPem, problem)) {
        error = SafeFiles::fileName(keyPath) + ": " + problem;
        return std::nullopt;
    }
    return fromPem(chainPem, SafeFiles::fileName(chainPath), keyPem, SafeFiles::fileName(keyPath), error);
}

std::optional<ServerCredentials> ServerCredentials::fromPem(const std::string& chainPem, const std::string& chainName,
                                                            const std::string& keyPem, const std::string& keyName,
                                                            std::string& error)
{
    std::string problem;
    std::vector<SharedX509> chain = PemReader::certificates(chainPem, problem);
    if (chain.empty()) {
        error = chainName + ": " + problem;
        return std::nullopt;
    }
    SharedKey key = PemReader::privateKey(keyPem, problem);
    if (!key) {
        error = keyName + ": " + problem;
        return std::nullopt;
    }
    if (X509_check_private_key(chain.front().get(), key.get()) != 1) {
        ERR_clear_error();
        error = keyName + ": the private key does not belong to the certificate in " + chainName;
        return std::nullopt;
    }
    for (std::size_t i = 0; i < chain.size(); ++i) {
        problem = validityProblem(chain[i].get());
        if (problem.empty())
            continue;
        const std::string which = i == 0 ? "the certificate"
                                         : "the certificate " + X509Text::name(X509_get_subject_name(chain[i].get()))
                                               + " (number " + std::to_string(i + 1) + " in the file)";
        error = chainName + ": " + which + " " + problem;
        return std::nullopt;
    }
    return ServerCredentials(std::move(chain), std::move(key));
}

std::string ServerCredentials::validityProblem(const X509* certificate)
{
    const ASN1_TIME* notBefore = X509_get0_notBefore(certificate);
    const ASN1_TIME* notAfter = X509_get0_notAfter(certificate);
    if (X509_cmp_current_time(notBefore) > 0)
        return "is not valid before " + X509Text::date(notBefore);
    if (X509_cmp_current_time(notAfter) < 0)
        return "expired on " + X509Text::date(notAfter);
    if (X509_cmp_current_time(notBefore) == 0 || X509_cmp_current_time(notAfter) == 0)
        return "has an unreadable validity period";
    return std::string();
}

std::string ServerCredentials::fingerprintSha256() const
{
    return X509Text::fingerprintSha256(certificate());
}

std::string ServerCredentials::subject() const
{
    return X509Text::name(X509_get_subject_name(certificate()));
}

std::string ServerCredentials::validUntil() const
{
    return X509Text::date(X509_get0_notAfter(certificate()));
}

std::string ServerCredentials::trustPem() const
{
    return X509Text::pem(chainCertificates.back().get());
}

bool ServerCredentials::exportTrustPem(const std::string& path, std::string& error) const
{
    std::string problem;
    if (SafeFiles::writeReplacing(path, trustPem(), 0644, problem))
        return true;
    error = SafeFiles::fileName(path) + ": " + problem;
    return false;
}
