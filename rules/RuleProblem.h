#pragma once

#include <cstddef>
#include <string>

// Why a rule (or, with rule == npos, the file as a whole) cannot be used as
// written. field is the path to the value inside the rule, such as
// "condition.value" or "actions[1].reply.text".
struct RuleProblem
{
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    std::size_t rule = npos;
    std::string ruleName;
    std::string field;
    std::string message;

    // For example: rules[2] "login", condition.value: Odd number of hex digits ...
    std::string text() const
    {
        std::string where = rule == npos ? std::string() : "rules[" + std::to_string(rule) + "]";
        if (!ruleName.empty())
            where += " \"" + ruleName + "\"";
        if (!field.empty())
            where += (where.empty() ? "" : ", ") + field;
        return where.empty() ? message : where + ": " + message;
    }
};
