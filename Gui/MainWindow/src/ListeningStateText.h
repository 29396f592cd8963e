#pragma once

#include "BindAddress.h"
#include "ListenResult.h"

#include <QString>

#include <cstdint>

// The texts that say where the program listens: in the status bar, and in
// the message of a start that bound nothing. One port keeps the program's
// long-standing "Listening on port: 2222"; every port that could not be
// bound is named with its reason.
namespace ListeningStateText
{
// "Listening on port: 2222", "Listening on ports: 2222, 8080", with
// " (loopback only)" or " (192.0.2.7 only)" unless it listens on all
// addresses, and "; couldn't listen on port 8080: Address already in use"
// for each port that failed.
QString listening(const ListenResult& result, const BindAddress& where);
// "Listening on port 2222 paused: too few file descriptors free (12 free,
// waiting for 25)".
QString paused(const ListenResult& result, std::uint64_t freeDescriptors, std::uint64_t resumeLevel);
// "Server stopped.", followed by what made a start fail.
QString stopped(const ListenResult& failedStart = ListenResult());
// For a start that bound nothing: "Couldn't start listening: " and the
// reason, or for several ports each port with its reason.
QString startFailed(const ListenResult& result);
}
