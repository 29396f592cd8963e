#pragma once

#include "Action.h"
#include "Condition.h"

#include <cstdint>
#include <string>
#include <vector>

// One rule as the user wrote it: when its condition matches, its actions run
// in order.
struct Rule
{
    std::string name;
    bool enabled = true;
    Condition condition;
    std::vector<Action> actions;
    // 0: every listening port; otherwise only connections accepted on this one.
    std::uint16_t port = 0;

    bool operator==(const Rule& other) const
    {
        return name == other.name && enabled == other.enabled && condition == other.condition
            && actions == other.actions && port == other.port;
    }
};
