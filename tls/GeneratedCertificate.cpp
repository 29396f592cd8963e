#include "GeneratedCertificate.h"

#include "Log.h"
#include "SafeFiles.h"
#include "SelfSignedCertificate.h"

#include <sys/stat.h>

namespace
{
bool exists(const std::string& path)
{
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
}
}

std::string GeneratedCertificate::certificatePath(const std::string& folder)
{
    return folder + "/" + certificateFileName;
}

std::string GeneratedCertificate::keyPath(const std::string& folder)
{
    return folder + "/" + keyFileName;
}

GeneratedCertificate::Outcome GeneratedCertificate::ensure(const std::string& folder)
{
    std::string problem;
    if (!SafeFiles::ensureFolder(folder, problem))
        return {std::nullopt, std::string(), SafeFiles::fileName(folder) + ": " + problem};
    if (!exists(certificatePath(folder)) && !exists(keyPath(folder)))
        return generate(folder);

    std::string error;
    auto credentials = ServerCredentials::fromFiles(certificatePath(folder), keyPath(folder), error);
    if (credentials)
        return {std::move(credentials), std::string(), std::string()};
    Outcome outcome = generate(folder);
    if (outcome.credentials) {
        outcome.notice = error + "; a new certificate was generated";
        Log::line("TLS: ", outcome.notice);
    }
    return outcome;
}

// The key is written first: a certificate on disk always has its key beside
// it, and a key left without its certificate by a crash is replaced next time.
GeneratedCertificate::Outcome GeneratedCertificate::generate(const std::string& folder)
{
    const auto now = std::chrono::system_clock::now();
    // An hour back, for clients whose clock is a little behind.
    std::string error;
    const auto pem = SelfSignedCertificate::create(now - std::chrono::hours(1), now + validity, error);
    if (!pem)
        return {std::nullopt, std::string(), error};

    std::string problem;
    if (!SafeFiles::writeReplacing(keyPath(folder), pem->privateKey, 0600, problem))
        return {std::nullopt, std::string(), std::string(keyFileName) + ": " + problem};
    if (!SafeFiles::writeReplacing(certificatePath(folder), pem->certificate, 0644, problem))
        return {std::nullopt, std::string(), std::string(certificateFileName) + ": " + problem};

    auto credentials
        = ServerCredentials::fromPem(pem->certificate, certificateFileName, pem->privateKey, keyFileName, error);
    if (!credentials)
        return {std::nullopt, std::string(), error};
    Log::line("TLS: generated a self-signed certificate in ", folder, ", SHA-256 fingerprint ",
              credentials->fingerprintSha256());
    return {std::move(credentials), std::string(), std::string()};
}
