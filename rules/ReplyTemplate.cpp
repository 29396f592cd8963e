#include "ReplyTemplate.h"

#include "HttpResponseFramer.h"
#include "HttpStatus.h"

namespace
{
std::string position(std::size_t index)
{
    return " at position " + std::to_string(index + 1);
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
}

ReplyTemplate ReplyTemplate::parse(const RuleReply& reply, const Groups& groups, std::string& error)
{
    ReplyTemplate result;
    error = problemIn(reply);
    if (!error.empty())
        return result;
    const std::string& text = reply.text;
    std::string literal;
    std::size_t literalStart = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '$') {
            literal += text[at];
            continue;
        }
        if (at + 1 < text.size() && text[at + 1] == '$') {
            if (!result.addLiteral(literal, reply, literalStart, error))
                return result;
            result.pieces.push_back(Piece{"$", -1});
            literal.clear();
            literalStart = ++at + 1;
            continue;
        }
        if (!result.addLiteral(literal, reply, literalStart, error) || !result.addReference(text, at, groups, error))
            return result;
        literal.clear();
        literalStart = at + 1;
    }
    result.addLiteral(literal, reply, literalStart, error);
    if (reply.http) {
        result.framed = true;
        result.http = *reply.http;
    }
    return result;
}

std::string ReplyTemplate::problemIn(const RuleReply& reply)
{
    if (!reply.http)
        return std::string();
    if (std::string status = HttpStatus::problem(reply.http->status); !status.empty())
        return status;
    for (const auto& [name, value] : reply.http->headers)
        if (std::string header = HttpResponseFramer::headerProblem(name, value); !header.empty())
            return header;
    return std::string();
}

bool ReplyTemplate::addLiteral(const std::string& text, const RuleReply& reply, std::size_t offset, std::string& error)
{
    if (text.empty())
        return true;
    EncodedReply encoded = ReplyEncoder::encode(text, reply.mode, reply.lineEnding);
    if (!encoded.ok()) {
        error = encoded.error + " (of the text from position " + std::to_string(offset + 1) + ")";
        return false;
    }
    pieces.push_back(Piece{std::move(encoded.bytes), -1});
    return true;
}

bool ReplyTemplate::addReference(const std::string& text, std::size_t& at, const Groups& groups, std::string& error)
{
    const std::size_t dollar = at;
    int group = -1;
    if (at + 1 < text.size() && isDigit(text[at + 1])) {
        group = text[++at] - '0';
    } else if (at + 1 < text.size() && text[at + 1] == '{') {
        const std::size_t close = text.find('}', at + 2);
        if (close == std::string::npos) {
            error = "${ without a closing }" + position(dollar);
            return false;
        }
        const std::string name = text.substr(at + 2, close - at - 2);
        const auto named = groups.names.find(name);
        if (named == groups.names.end()) {
            error = "no group named \"" + name + "\"" + position(dollar);
            return false;
        }
        group = named->second;
        at = close;
    } else {
        error = "a $ must be followed by a digit, {name} or another $ (write $$ for a $)" + position(dollar);
        return false;
    }
    if (group > groups.count) {
        error = "no group $" + std::to_string(group) + position(dollar) + ": the condition has "
            + (groups.count == 0 ? "only $0" : "groups up to $" + std::to_string(groups.count));
        return false;
    }
    pieces.push_back(Piece{std::string(), group});
    return true;
}

bool ReplyTemplate::expand(const std::vector<std::string_view>& captures, std::string& bytes,
                           std::string& error) const
{
    const auto pieceSize = [&captures](const Piece& piece) {
        if (piece.group < 0)
            return piece.bytes.size();
        return static_cast<std::size_t>(piece.group) < captures.size() ? captures[piece.group].size() : 0;
    };
    std::size_t total = 0;
    for (const Piece& piece : pieces)
        total += pieceSize(piece);
    if (total > maxExpandedSize) {
        error = "the reply would be " + std::to_string(total) + " bytes, more than "
            + std::to_string(maxExpandedSize);
        return false;
    }
    bytes.clear();
    bytes.reserve(total);
    for (const Piece& piece : pieces) {
        if (piece.group < 0)
            bytes += piece.bytes;
        else if (static_cast<std::size_t>(piece.group) < captures.size())
            bytes.append(captures[piece.group].data(), captures[piece.group].size());
    }
    if (framed)
        bytes = HttpResponseFramer::frame(http.status, http.headers, bytes);
    return true;
}

bool ReplyTemplate::usesCaptures() const
{
    for (const Piece& piece : pieces)
        if (piece.group >= 0)
            return true;
    return false;
}
