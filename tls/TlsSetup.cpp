#include "TlsSetup.h"

#include "GeneratedCertificate.h"

std::optional<ServerCredentials> TlsSetup::credentials(std::string& error) const
{
    if (certificateSource == CertificateSource::OwnFiles) {
        if (chainFile.empty() || keyFile.empty()) {
            error = chainFile.empty() ? "No certificate file chosen" : "No private key file chosen";
            return std::nullopt;
        }
        return ServerCredentials::fromFiles(chainFile, keyFile, error);
    }
    if (generatedFolder.empty()) {
        error = "no folder for the generated certificate";
        return std::nullopt;
    }
    GeneratedCertificate::Outcome outcome = GeneratedCertificate::ensure(generatedFolder);
    if (!outcome.credentials)
        error = outcome.error;
    return std::move(outcome.credentials);
}
