#include "TlsServing.h"

#include "GeneratedCertificate.h"
#include "ListenerContext.h"
#include "Log.h"
#include "SafeFiles.h"

#include <optional>

namespace
{
bool isAbout(const std::string& error, const std::string& path)
{
    const std::string name = SafeFiles::fileName(path) + ":";
    return error.compare(0, name.size(), name) == 0;
}

std::optional<ServerCredentials> ownCredentials(const HeadlessOptions& options, std::string& problem)
{
    std::string error;
    auto credentials = ServerCredentials::fromFiles(options.certificateFile, options.keyFile, error);
    if (!credentials) {
        const bool aboutKey = options.keyFile != options.certificateFile && isAbout(error, options.keyFile);
        problem = (aboutKey ? "--key: " : "--cert: ") + error;
    }
    return credentials;
}

std::optional<ServerCredentials> generatedCredentials(const HeadlessOptions& options, std::string& problem)
{
    GeneratedCertificate::Outcome outcome = GeneratedCertificate::ensure(options.certificateFolder);
    if (!outcome.notice.empty())
        Log::line("TLS: ", outcome.notice);
    if (!outcome.credentials)
        problem = "--tls: " + outcome.error;
    return outcome.credentials;
}
}

namespace TlsServing
{
std::string prepare(const HeadlessOptions& options, std::vector<ListenPlace>& places, EventStream::Json& certificate)
{
    if (!options.servesTls())
        return {};
    std::string problem;
    const std::optional<ServerCredentials> credentials
        = options.tls ? generatedCredentials(options, problem) : ownCredentials(options, problem);
    if (!credentials)
        return problem;
    for (ListenPlace& place : places) {
        std::string error;
        place.tls = ListenerContext::create(*credentials, options.tlsOptions, error);
        if (!place.tls) {
            const std::string& caFile = options.tlsOptions.clientCaFile;
            return (!caFile.empty() && isAbout(error, caFile) ? "--client-ca: " : "--cert: ") + error;
        }
    }
    certificate = {{"subject", credentials->subject()},
                   {"sha256", credentials->fingerprintSha256()},
                   {"valid_until", credentials->validUntil()},
                   {"file", options.tls ? GeneratedCertificate::certificatePath(options.certificateFolder)
                                        : options.certificateFile}};
    return {};
}
}
