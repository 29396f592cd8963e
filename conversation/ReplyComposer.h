#pragma once

#include "ReplyEncoder.h"
#include "SavedReplyList.h"

#include <string>

class Http;
class ProtocolBase;

// Turns what the user typed, or a saved reply, into the bytes a connection
// sends: read as its input mode says, and under HTTP framed as a response
// with a status line and the connection's (or the saved reply's) header
// lines.
class ReplyComposer
{
public:
    struct Reply
    {
        std::string bytes;
        std::string error; // why nothing can be sent
        bool ok() const { return error.empty(); }
    };

    explicit ReplyComposer(ProtocolBase& protocol);

    bool isHttp() const { return http != nullptr; }

    // Typed input; status is the HTTP status line's code and reason.
    Reply typed(const std::string& input, InputMode mode, LineEnding lineEnding, const std::string& status);
    Reply saved(const SavedReply& reply);
    // Checks the status line and makes it the one of the responses that
    // follow (a file's header among them); an empty string or what is wrong.
    std::string applyStatus(const std::string& status);

private:
    ProtocolBase& protocol;
    Http* http;
};
