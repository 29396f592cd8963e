#pragma once

#include "ListenerOptions.h"
#include "ServerCredentials.h"

#include <optional>
#include <string>

// What the user chose for the ports that serve TLS: where the server's
// certificate comes from, and how every TLS listener serves its clients.
struct TlsSetup
{
    enum class CertificateSource
    {
        // Made on first use and kept in generatedFolder.
        Generated,
        // The user's own PEM files.
        OwnFiles
    };

    CertificateSource certificateSource = CertificateSource::Generated;
    // Where the generated certificate is kept: the program's configuration folder.
    std::string generatedFolder;
    // The chain with the server's certificate first, and its key (both may be one file).
    std::string chainFile;
    std::string keyFile;
    // Versions, ALPN, client certificates and the key log (an empty path: none).
    ListenerOptions listener;

    // The chosen certificate and key, checked: the generated ones (made when
    // missing or no longer usable) or the user's files. Nothing on a
    // problem; error then names the file and says why.
    std::optional<ServerCredentials> credentials(std::string& error) const;
};
