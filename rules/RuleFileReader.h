#pragma once

#include "JsonFields.h"
#include "Rule.h"
#include "RuleFileContents.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// Reads a rule file:
//
// {"version": 1,
//  "rules": [{"name": "login", "enabled": true, "port": 2222,
//             "condition": {"kind": "contains", "value": "PING\r\n", "mode": "text", "nth": 2},
//             "actions": [{"reply": {"text": "PONG $0", "mode": "escapes", "line_ending": "crlf",
//                                    "http": {"status": "200 OK",
//                                             "headers": [{"name": "Content-Type", "value": "text/plain"}]}}},
//                         {"wait_ms": 300},
//                         {"send_in_pieces": {"text": "...", "piece_size": 4, "delay_ms": 50}},
//                         {"send_file": "/path/to/file"},
//                         {"close_sending": true}, {"reset": true}, {"pause_reading_ms": 500}]},
//            {"name": "greeting", "condition": {"on_connect": true}, "actions": [...]}]}
//
// Kinds: contains, starts_with, equals, regex, hex. Modes: text, escapes, hex
// (contains, starts_with and equals only). Line endings: lf, crlf, cr. Only
// name, condition and its kind and value (or on_connect) are required. The
// file is UTF-8; the strings that stand for bytes take characters up to
// U+00FF, one byte each (Latin-1).
//
// A rule with anything wrong (a pattern that does not compile, an unknown
// field, a wrong type) is reported with its index, name and the field's path,
// and kept but not used; the other rules load. A file that is not JSON, or
// has no version 1 or rules array, is refused as a whole.
class RuleFileReader
{
public:
    static constexpr std::size_t maxFileSize = 64 * 1024 * 1024;

    static RuleFileContents parse(const std::string& text);
    static RuleFileContents load(const std::string& path);

private:
    using Json = JsonFields::Json;

    explicit RuleFileReader(std::vector<RuleProblem>& problems);

    static RuleFileContents refuse(std::string error);
    bool readTop(const Json& document, std::string& error);
    Rule readRule(const Json& value, std::size_t index);
    void readCondition(const JsonFields& fields, Condition& condition);
    void readConditionValue(const JsonFields& fields, Condition& condition);
    // Whatever could be read; what could not is reported.
    Action readAction(const Json& value, const std::string& path);
    void readActionValue(const JsonFields& fields, const char* key, Action& action);
    RuleReply readReply(const JsonFields& fields, bool inPieces);
    RuleReply::Http readHttp(const Json& value, const std::string& path);
    JsonFields fieldsOf(const Json& value, const std::string& path);

    std::vector<RuleProblem>& problems;
    std::vector<Rule> rules;
    std::size_t ruleIndex = RuleProblem::npos;
    std::string ruleName;
};
