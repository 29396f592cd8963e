#pragma once

#include "SendLedger.h"
#include "Transcript.h"

#include <string>

// What a conversation's record says of a send once it has ended: how a file
// or a reply in pieces went, or that a reply did not go out (or only in
// part). Nothing for a reply that went out whole.
namespace SendNotes
{
struct Note
{
    EventKind kind = EventKind::Note;
    std::string text; // empty: nothing to say
    std::string bytes;
};

Note about(const SendLedger::Entry& entry);
}
