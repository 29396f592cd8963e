#include "RuleFileReader.h"

#include "RuleSchema.h"

#include <fstream>
#include <sstream>

namespace
{
constexpr std::uint64_t maxNth = 1000000;
const std::uint64_t maxMilliseconds = static_cast<std::uint64_t>(RuleSet::maxDuration.count());

std::string withoutLibraryPrefix(const std::string& message)
{
    const std::size_t end = message.find("] ");
    return end == std::string::npos ? message : message.substr(end + 2);
}

}

RuleFileReader::RuleFileReader(std::vector<RuleProblem>& problemList)
    : problems(problemList)
{
}

RuleFileContents RuleFileReader::refuse(std::string error)
{
    RuleFileContents contents;
    contents.rules = RuleSet::build({});
    contents.error = std::move(error);
    return contents;
}

RuleFileContents RuleFileReader::load(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return refuse("cannot open the rule file " + path);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file.good() && !file.eof())
        return refuse("cannot read the rule file " + path);
    return parse(text.str());
}

RuleFileContents RuleFileReader::parse(const std::string& text)
{
    if (text.size() > maxFileSize)
        return refuse("the rule file is larger than " + std::to_string(maxFileSize) + " bytes");
    Json document;
    try {
        document = Json::parse(text);
    } catch (const Json::parse_error& error) {
        return refuse("the rule file is not valid JSON, at byte " + std::to_string(error.byte) + ": "
                      + withoutLibraryPrefix(error.what()));
    } catch (const std::exception& error) {
        return refuse(std::string("the rule file cannot be read: ") + error.what());
    }
    RuleFileContents contents;
    RuleFileReader reader(contents.problems);
    std::string error;
    if (!reader.readTop(document, error))
        return refuse(error);
    contents.rules = RuleSet::build(std::move(reader.rules), contents.problems);
    return contents;
}

bool RuleFileReader::readTop(const Json& document, std::string& error)
{
    if (!document.is_object()) {
        error = "the rule file must be an object with \"version\" and \"rules\"";
        return false;
    }
    const auto version = document.find("version");
    if (version == document.end() || *version != RuleSchema::version) {
        error = "the rule file must have \"version\": " + std::to_string(RuleSchema::version)
            + (version == document.end() ? ", it has none" : ", it has " + version->dump());
        return false;
    }
    const auto list = document.find("rules");
    if (list == document.end() || !list->is_array()) {
        error = "the rule file must have \"rules\": an array of rules";
        return false;
    }
    if (list->size() > RuleSet::maxRules) {
        error = "the rule file has " + std::to_string(list->size()) + " rules, at most "
            + std::to_string(RuleSet::maxRules) + " are allowed";
        return false;
    }
    fieldsOf(document, "").onlyKnown({"version", "rules"});
    for (std::size_t index = 0; index < list->size(); ++index)
        rules.push_back(readRule((*list)[index], index));
    return true;
}

JsonFields RuleFileReader::fieldsOf(const Json& value, const std::string& path)
{
    return JsonFields(value, path, [this](const std::string& field, const std::string& message) {
        problems.push_back(RuleProblem{ruleIndex, ruleName, field, message});
    });
}

Rule RuleFileReader::readRule(const Json& value, std::size_t index)
{
    ruleIndex = index;
    ruleName.clear();
    Rule rule;
    rule.enabled = false;
    const JsonFields fields = fieldsOf(value, "");
    if (!fields.isObject())
        return rule;
    rule.name = fields.bytes("name").value_or("");
    ruleName = rule.name;
    fields.onlyKnown({"name", "enabled", "port", "condition", "actions"});
    rule.enabled = fields.flag("enabled").value_or(true);
    rule.port = static_cast<std::uint16_t>(fields.number("port", 1, 65535).value_or(0));
    if (const Json* condition = fields.member("condition"))
        readCondition(fieldsOf(*condition, "condition"), rule.condition);
    else if (!fields.has("condition"))
        fields.missing("condition");
    const Json* actions = fields.array("actions");
    for (std::size_t i = 0; actions && i < actions->size(); ++i)
        rule.actions.push_back(readAction((*actions)[i], "actions[" + std::to_string(i) + "]"));
    return rule;
}

void RuleFileReader::readCondition(const JsonFields& fields, Condition& condition)
{
    fields.onlyKnown({"kind", "value", "mode", "on_connect", "nth"});
    condition.onConnect = fields.flag("on_connect").value_or(false);
    condition.nth = static_cast<unsigned>(fields.number("nth", 1, maxNth).value_or(0));
    if (condition.onConnect) {
        for (const char* key : {"kind", "value", "mode"})
            if (fields.has(key))
                fields.report(key, "a rule on a new connection has no kind, value or mode");
        return;
    }
    readConditionValue(fields, condition);
}

void RuleFileReader::readConditionValue(const JsonFields& fields, Condition& condition)
{
    const std::optional<std::string> kindName = fields.text("kind");
    const std::optional<ConditionKind> kind = kindName ? RuleSchema::conditionKind(*kindName) : std::nullopt;
    if (kind)
        condition.kind = *kind;
    else if (kindName)
        fields.report("kind", "unknown kind \"" + *kindName + "\": contains, starts_with, equals, regex or hex");
    else if (!fields.has("kind"))
        fields.missing("kind");
    if (std::optional<std::string> value = fields.bytes("value"))
        condition.value = std::move(*value);
    else if (!fields.has("value"))
        fields.missing("value");
    const std::optional<std::string> modeName = fields.text("mode");
    if (!modeName)
        return;
    const std::optional<InputMode> mode = RuleSchema::mode(*modeName);
    const bool fixed = condition.kind == ConditionKind::Regex || condition.kind == ConditionKind::HexBytes;
    if (!mode)
        fields.report("mode", "unknown mode \"" + *modeName + "\": text, escapes or hex");
    else if (fixed)
        fields.report("mode", std::string("a ") + RuleSchema::conditionKindName(condition.kind)
                                  + " condition has no mode");
    else
        condition.mode = *mode;
}

Action RuleFileReader::readAction(const Json& value, const std::string& path)
{
    Action action;
    const JsonFields fields = fieldsOf(value, path);
    if (!fields.isObject())
        return action;
    if (value.size() != 1) {
        problems.push_back(RuleProblem{ruleIndex, ruleName, path,
                                       "an action is an object with one field, such as {\"wait_ms\": 300}"});
        return action;
    }
    const std::string key = value.begin().key();
    const std::optional<ActionKind> kind = RuleSchema::actionKind(key);
    if (!kind) {
        fields.report(key.c_str(), "unknown action: reply, wait_ms, send_in_pieces, send_file, close_sending, "
                                   "reset or pause_reading_ms");
        return action;
    }
    action.kind = *kind;
    readActionValue(fields, key.c_str(), action);
    return action;
}

void RuleFileReader::readActionValue(const JsonFields& fields, const char* key, Action& action)
{
    switch (action.kind) {
    case ActionKind::Wait:
    case ActionKind::PauseReading:
        action.duration = std::chrono::milliseconds(fields.number(key, 0, maxMilliseconds).value_or(0));
        return;
    case ActionKind::SendFile:
        action.path = fields.text(key).value_or("");
        return;
    case ActionKind::CloseSending:
    case ActionKind::Reset:
        if (fields.flag(key) == false)
            fields.report(key, "must be true");
        return;
    case ActionKind::Reply:
    case ActionKind::SendInPieces:
        break;
    }
    const Json* reply = fields.member(key);
    if (!reply)
        return;
    const JsonFields replyFields = fieldsOf(*reply, fields.pathOf(key));
    const bool inPieces = action.kind == ActionKind::SendInPieces;
    action.reply = readReply(replyFields, inPieces);
    if (!inPieces)
        return;
    const std::optional<std::uint64_t> pieceSize = replyFields.number("piece_size", 1, RuleSet::maxPieceSize);
    if (!pieceSize && !replyFields.has("piece_size"))
        replyFields.missing("piece_size");
    action.pieceSize = static_cast<std::size_t>(pieceSize.value_or(1));
    action.duration = std::chrono::milliseconds(replyFields.number("delay_ms", 0, maxMilliseconds).value_or(0));
}

RuleReply RuleFileReader::readReply(const JsonFields& fields, bool inPieces)
{
    RuleReply reply;
    if (!fields.isObject())
        return reply;
    if (inPieces)
        fields.onlyKnown({"text", "mode", "line_ending", "http", "piece_size", "delay_ms"});
    else
        fields.onlyKnown({"text", "mode", "line_ending", "http"});
    const std::optional<std::string> text = fields.bytes("text");
    if (!text && !fields.has("text"))
        fields.missing("text");
    reply.text = text.value_or("");
    if (const std::optional<std::string> name = fields.text("mode")) {
        const std::optional<InputMode> mode = RuleSchema::mode(*name);
        if (!mode)
            fields.report("mode", "unknown mode \"" + *name + "\": text, escapes or hex");
        reply.mode = mode.value_or(reply.mode);
    }
    if (const std::optional<std::string> name = fields.text("line_ending")) {
        const std::optional<LineEnding> ending = RuleSchema::lineEnding(*name);
        if (!ending)
            fields.report("line_ending", "unknown line ending \"" + *name + "\": lf, crlf or cr");
        reply.lineEnding = ending.value_or(reply.lineEnding);
    }
    if (const Json* http = fields.member("http"))
        reply.http = readHttp(*http, fields.pathOf("http"));
    return reply;
}

RuleReply::Http RuleFileReader::readHttp(const Json& value, const std::string& path)
{
    const JsonFields fields = fieldsOf(value, path);
    fields.onlyKnown({"status", "headers"});
    RuleReply::Http http;
    http.status = fields.bytes("status").value_or(http.status);
    const Json* headers = fields.array("headers");
    for (std::size_t i = 0; headers && i < headers->size(); ++i) {
        const JsonFields header = fieldsOf((*headers)[i], fields.pathOf("headers") + "[" + std::to_string(i) + "]");
        header.onlyKnown({"name", "value"});
        const std::optional<std::string> name = header.bytes("name");
        if (!name && !header.has("name") && header.isObject())
            header.missing("name");
        http.headers.emplace_back(name.value_or(""), header.bytes("value").value_or(""));
    }
    return http;
}
