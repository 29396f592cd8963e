#include "RuleFileWriter.h"

#include "Latin1Text.h"
#include "RuleSchema.h"

#include <nlohmann/json.hpp>

#include <fstream>

namespace
{
using Json = nlohmann::ordered_json;

Json conditionJson(const Condition& condition)
{
    Json json = Json::object();
    if (condition.onConnect) {
        json["on_connect"] = true;
    } else {
        json["kind"] = RuleSchema::conditionKindName(condition.kind);
        json["value"] = Latin1Text::toUtf8(condition.value);
        const bool hasMode = condition.kind != ConditionKind::Regex && condition.kind != ConditionKind::HexBytes;
        if (hasMode)
            json["mode"] = RuleSchema::modeName(condition.mode);
    }
    if (condition.nth > 0)
        json["nth"] = condition.nth;
    return json;
}

Json replyJson(const RuleReply& reply)
{
    Json json = Json::object();
    json["text"] = Latin1Text::toUtf8(reply.text);
    json["mode"] = RuleSchema::modeName(reply.mode);
    json["line_ending"] = RuleSchema::lineEndingName(reply.lineEnding);
    if (reply.http) {
        Json headers = Json::array();
        for (const auto& [name, value] : reply.http->headers)
            headers.push_back(Json{{"name", Latin1Text::toUtf8(name)}, {"value", Latin1Text::toUtf8(value)}});
        json["http"] = Json{{"status", Latin1Text::toUtf8(reply.http->status)}, {"headers", headers}};
    }
    return json;
}

Json actionValue(const Action& action)
{
    switch (action.kind) {
    case ActionKind::Reply:
        return replyJson(action.reply);
    case ActionKind::SendInPieces: {
        Json json = replyJson(action.reply);
        json["piece_size"] = action.pieceSize;
        json["delay_ms"] = action.duration.count();
        return json;
    }
    case ActionKind::Wait:
    case ActionKind::PauseReading:
        return action.duration.count();
    case ActionKind::SendFile:
        return action.path;
    case ActionKind::CloseSending:
    case ActionKind::Reset:
        break;
    }
    return true;
}

Json ruleJson(const Rule& rule)
{
    Json json = Json::object();
    json["name"] = Latin1Text::toUtf8(rule.name);
    json["enabled"] = rule.enabled;
    if (rule.port != 0)
        json["port"] = rule.port;
    json["condition"] = conditionJson(rule.condition);
    Json actions = Json::array();
    for (const Action& action : rule.actions)
        actions.push_back(Json{{RuleSchema::actionField(action.kind), actionValue(action)}});
    json["actions"] = actions;
    return json;
}
}

std::string RuleFileWriter::write(const std::vector<Rule>& rules)
{
    Json document = Json::object();
    document["version"] = RuleSchema::version;
    document["rules"] = Json::array();
    for (const Rule& rule : rules)
        document["rules"].push_back(ruleJson(rule));
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool RuleFileWriter::save(const std::vector<Rule>& rules, const std::string& path, std::string& error)
{
    const std::string text = write(rules);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.flush();
    if (file)
        return true;
    error = "cannot write the rule file " + path;
    return false;
}
