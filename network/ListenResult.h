#pragma once

#include "BoundEndpoint.h"

#include <string>
#include <vector>

// What starting to listen came to: every endpoint bound, and every one that
// could not be, with the system's reason. Some ports may listen while others
// failed.
struct ListenFailure
{
    BoundEndpoint endpoint;
    std::string reason;
};

struct ListenResult
{
    std::vector<BoundEndpoint> bound;
    std::vector<ListenFailure> failures;
};
