#pragma once

#include "Session.h"
#include "Transcript.h"

#include <string>

// How what the connection reports about its ends and its TLS handshake is
// written in the transcript.
namespace SessionEventNotes
{
struct Note
{
    EventKind kind;
    std::string text;
};

// detail: what the session said with the event.
Note about(Session::Event event, const std::string& detail);
// A note that follows the event's own, or an empty string: over TLS, how the
// client ended ("ended without close_notify"), worth a note but no error.
std::string remark(Session::Event event, const std::string& detail);
}
