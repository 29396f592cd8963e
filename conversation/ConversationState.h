#pragma once

#include "Session.h"

#include <string>

// Where a connection stands: which side ended what, whether reading is
// paused and why, and how its TLS handshake went.
struct ConversationState
{
    // Why the transcript stopped reading, as the window tells it.
    enum class Pause { None, StorageFailed, DiskReserve, Cap };

    bool clientEnded = false;    // the client ended its sending
    bool readEnded = false;      // nothing more will be read
    std::string readEndReason;   // the error that ended reading, if it was one
    bool sendingClosed = false;  // this side ended its sending
    bool resetByServer = false;  // this side reset the connection (or asked to)
    bool readingPaused = false;  // for one of the reasons below
    Pause pause = Pause::None;   // the cap, when that and storage hold it
    std::string storageError;    // why the file or the reserve refused bytes
    bool canSend = true;         // a reply can still reach the client
    bool tlsEstablished = false; // the TLS handshake succeeded
    std::string tlsFailure;      // why the TLS handshake failed, if it did

    // Takes in what the session reported (detail: what it said with it).
    void apply(Session::Event event, const std::string& detail);
};
