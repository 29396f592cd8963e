#pragma once

#include "Action.h"
#include "Condition.h"

#include <QString>

#include <vector>

// A rule's condition and actions in a few words, as the Rules window's table
// shows them: contains "PING\r\n" (the 2nd time); wait 300 ms, reply 6 bytes.
namespace RuleText
{
QString condition(const Condition& condition);
QString action(const Action& action);
QString actions(const std::vector<Action>& actions);
// What the user typed, as escapes: \r \n \t \0 \\ and \xHH for what is not printable.
QString shown(const std::string& bytes);
}
