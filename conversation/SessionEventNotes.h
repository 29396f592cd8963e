#pragma once

#include "Session.h"
#include "Transcript.h"

#include <string>

// How what the connection reports about its ends is written in the transcript.
namespace SessionEventNotes
{
struct Note
{
    EventKind kind;
    std::string text;
};

Note about(Session::Event event);
}
