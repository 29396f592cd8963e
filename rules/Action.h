#pragma once

#include "RuleReply.h"

#include <chrono>
#include <cstddef>
#include <string>

enum class ActionKind { Reply, Wait, SendInPieces, SendFile, CloseSending, Reset, PauseReading };

// One step of what a rule does when it fires. Which fields count depends on
// the kind: reply for Reply and SendInPieces, duration for Wait, PauseReading
// and the delay between pieces, pieceSize for SendInPieces, path for SendFile.
struct Action
{
    ActionKind kind = ActionKind::Reply;
    RuleReply reply;
    std::chrono::milliseconds duration{0};
    std::size_t pieceSize = 0;
    std::string path;

    bool operator==(const Action& other) const
    {
        return kind == other.kind && reply == other.reply && duration == other.duration
            && pieceSize == other.pieceSize && path == other.path;
    }
};
