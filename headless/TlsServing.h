#pragma once

#include "EventStream.h"
#include "HeadlessOptions.h"

#include <string>
#include <vector>

// The TLS side of a headless run, made before anything listens: the
// server's certificate (the generated one, made on first use, or the user's
// own, checked) and one listener context for each place.
namespace TlsServing
{
// Gives every place its context and describes the certificate for the
// "listening" event. Returns an empty string, or one line that names the
// option at fault.
std::string prepare(const HeadlessOptions& options, std::vector<ListenPlace>& places, EventStream::Json& certificate);
}
