#pragma once

#include "ReplyEncoder.h"

#include <string>

// Contains, StartsWith and Equals look at the bytes received and not yet
// consumed; value is read in mode (Text: as written). HexBytes is Contains
// with value read as hex digits. Regex is an RE2 pattern over Latin-1 bytes.
enum class ConditionKind { Contains, StartsWith, Equals, Regex, HexBytes };

struct Condition
{
    ConditionKind kind = ConditionKind::Contains;
    std::string value;
    InputMode mode = InputMode::Text;
    // Fires once when the connection opens, consuming nothing; kind, value
    // and nth do not apply.
    bool onConnect = false;
    // 0: fires on every match. N: fires on the Nth match on a connection only.
    unsigned nth = 0;

    bool operator==(const Condition& other) const
    {
        return kind == other.kind && value == other.value && mode == other.mode && onConnect == other.onConnect
            && nth == other.nth;
    }
};
