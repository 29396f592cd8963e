#pragma once

#include "ServerCredentials.h"

#include <chrono>
#include <optional>
#include <string>

// The certificate the server uses when the user has none of their own: made
// on first use and kept as PEM files in a folder (the program's configuration
// folder), reused on later runs, and made anew when the files can no longer
// be used (expired, unreadable, damaged, a key of another certificate).
class GeneratedCertificate
{
public:
    static constexpr const char* certificateFileName = "tls-certificate.pem";
    static constexpr const char* keyFileName = "tls-private-key.pem";
    // Long enough to trust once, within what platforms accept for
    // certificates their users add by hand (825 days).
    static constexpr std::chrono::hours validity{24 * 825};

    struct Outcome
    {
        std::optional<ServerCredentials> credentials;
        // Set when the files there were replaced, saying why.
        std::string notice;
        // Set when there are no credentials.
        std::string error;
    };

    static Outcome ensure(const std::string& folder);

    static std::string certificatePath(const std::string& folder);
    static std::string keyPath(const std::string& folder);

private:
    static Outcome generate(const std::string& folder);
};
