#pragma once

#include "BindAddress.h"

// One place to listen: an address (or all of them, or the loopback ones) and
// a port; port 0 lets the system choose.
struct ListenPlace
{
    BindAddress where;
    unsigned int port = 0;
};
