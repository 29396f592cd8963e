#include "SavedReplyRule.h"

namespace
{
std::string literalText(const std::string& text)
{
    std::string literal;
    literal.reserve(text.size());
    for (const char byte : text) {
        literal += byte;
        if (byte == '$')
            literal += '$';
    }
    return literal;
}
}

namespace SavedReplyRule
{
RuleReply reply(const SavedReply& saved, bool http)
{
    RuleReply result;
    result.text = literalText(saved.body);
    result.mode = saved.mode;
    result.lineEnding = saved.lineEnding;
    if (http) {
        result.http.emplace();
        result.http->status = saved.status;
        result.http->headers = saved.headers;
    }
    return result;
}

Rule autoReply(const SavedReply& saved, bool onConnect, bool http)
{
    Rule rule;
    rule.name = "auto-reply";
    if (onConnect) {
        rule.condition.onConnect = true;
    } else {
        rule.condition.kind = ConditionKind::Regex;
        rule.condition.value = "(?s).+";
    }
    Action action;
    action.kind = ActionKind::Reply;
    action.reply = reply(saved, http);
    rule.actions.push_back(std::move(action));
    return rule;
}
}
