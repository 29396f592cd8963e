#pragma once

#include "ReplyEncoder.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

// What a rule sends: text read in one of the input modes, optionally framed
// as an HTTP/1.0 response. The text may refer to what the condition matched:
// $0 to $9, ${name} for a named group of a regular expression, $$ for a $.
struct RuleReply
{
    struct Http
    {
        std::string status = "200 OK";
        std::vector<std::pair<std::string, std::string>> headers;

        bool operator==(const Http& other) const { return status == other.status && headers == other.headers; }
    };

    std::string text;
    InputMode mode = InputMode::Text;
    LineEnding lineEnding = LineEnding::LF;
    std::optional<Http> http;

    bool operator==(const RuleReply& other) const
    {
        return text == other.text && mode == other.mode && lineEnding == other.lineEnding && http == other.http;
    }
};
