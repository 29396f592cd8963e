#pragma once

#include "Action.h"
#include "Condition.h"
#include "ReplyEncoder.h"

#include <optional>
#include <string>

// The words of the rule file: field names and the names of kinds, modes and
// line endings, in one place for reading, writing and the positions named
// in messages.
class RuleSchema
{
public:
    static constexpr int version = 1;

    static const char* conditionKindName(ConditionKind kind);
    static std::optional<ConditionKind> conditionKind(const std::string& name);
    static const char* modeName(InputMode mode);
    static std::optional<InputMode> mode(const std::string& name);
    static const char* lineEndingName(LineEnding ending);
    static std::optional<LineEnding> lineEnding(const std::string& name);
    // The single field of an action's object, such as "wait_ms".
    static const char* actionField(ActionKind kind);
    static std::optional<ActionKind> actionKind(const std::string& field);
    // "actions[2].wait_ms"
    static std::string actionPath(std::size_t index, ActionKind kind);
};
