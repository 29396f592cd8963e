#pragma once

#include "ListenerContext.h"
#include "TlsSetup.h"

#include <memory>
#include <optional>
#include <string>

// What the TLS ports of one start of listening share: the certificate and
// key, loaded and checked once, and one ListenerContext per TLS port, used
// for every client that port accepts. When the certificate or an option
// cannot be used, no TLS port listens and problem() says why, while the
// plain ports listen as usual.
class TlsListeners
{
public:
    explicit TlsListeners(const TlsSetup& setup);

    // The context for one more TLS port; nothing when problem() is set.
    std::shared_ptr<ListenerContext> contextForPort();
    const std::string& problem() const { return failure; }

private:
    const TlsSetup setup;
    std::optional<ServerCredentials> credentials;
    std::string failure;
};
