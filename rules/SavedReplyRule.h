#pragma once

#include "Rule.h"
#include "RuleReply.h"
#include "SavedReplyList.h"

// A saved reply as rules send it: its text, mode and line ending, and under
// HTTP its status and header lines, so that a rule sends the same bytes as
// Send Saved does. Its text is taken literally ($ is not a reference).
namespace SavedReplyRule
{
RuleReply reply(const SavedReply& saved, bool http);

// Auto-reply as a rule, named "auto-reply": the saved reply to every read
// (a condition that matches whatever has come and consumes it), or once to
// each new connection.
Rule autoReply(const SavedReply& saved, bool onConnect, bool http);
}
