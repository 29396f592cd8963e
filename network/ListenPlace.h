#pragma once

#include "BindAddress.h"

#include <memory>

class ListenerContext;

// One place to listen: an address (or all of them, or the loopback ones) and
// a port; port 0 lets the system choose. With a TLS context its clients
// speak TLS, every one of them served from that one context.
struct ListenPlace
{
    BindAddress where;
    unsigned int port = 0;
    std::shared_ptr<ListenerContext> tls; // null: plain TCP
};
