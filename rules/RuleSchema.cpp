#include "RuleSchema.h"

#include <iterator>

namespace
{
template <typename Value, std::size_t count>
std::optional<Value> lookUp(const char* const (&names)[count], const std::string& name)
{
    for (std::size_t i = 0; i < count; ++i)
        if (name == names[i])
            return static_cast<Value>(i);
    return std::nullopt;
}

// In the order of the enumerations.
const char* const conditionKinds[] = {"contains", "starts_with", "equals", "regex", "hex"};
const char* const modes[] = {"text", "escapes", "hex"};
const char* const lineEndings[] = {"lf", "crlf", "cr"};
const char* const actionFields[] = {"reply",     "wait_ms", "send_in_pieces",  "send_file",
                                    "close_sending", "reset", "pause_reading_ms"};
}

const char* RuleSchema::conditionKindName(ConditionKind kind)
{
    return conditionKinds[static_cast<int>(kind)];
}

std::optional<ConditionKind> RuleSchema::conditionKind(const std::string& name)
{
    return lookUp<ConditionKind>(conditionKinds, name);
}

const char* RuleSchema::modeName(InputMode mode)
{
    return modes[static_cast<int>(mode)];
}

std::optional<InputMode> RuleSchema::mode(const std::string& name)
{
    return lookUp<InputMode>(modes, name);
}

const char* RuleSchema::lineEndingName(LineEnding ending)
{
    return lineEndings[static_cast<int>(ending)];
}

std::optional<LineEnding> RuleSchema::lineEnding(const std::string& name)
{
    return lookUp<LineEnding>(lineEndings, name);
}

const char* RuleSchema::actionField(ActionKind kind)
{
    return actionFields[static_cast<int>(kind)];
}

std::optional<ActionKind> RuleSchema::actionKind(const std::string& field)
{
    return lookUp<ActionKind>(actionFields, field);
}

std::string RuleSchema::actionPath(std::size_t index, ActionKind kind)
{
    return "actions[" + std::to_string(index) + "]." + actionField(kind);
}
