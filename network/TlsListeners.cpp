#include "TlsListeners.h"

TlsListeners::TlsListeners(const TlsSetup& setup)
    : setup(setup)
{
}

std::shared_ptr<ListenerContext> TlsListeners::contextForPort()
{
    if (!failure.empty())
        return nullptr;
    if (!credentials) {
        credentials = setup.credentials(failure);
        if (!credentials)
            return nullptr;
    }
    std::shared_ptr<ListenerContext> context = ListenerContext::create(*credentials, setup.listener, failure);
    if (!context && failure.empty())
        failure = "the TLS context could not be made";
    return context;
}
