#include "SavedReplyList.h"

#include "HttpStatus.h"

#include <algorithm>

namespace
{
bool hasLineBreak(const std::string& text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}

std::string headerProblem(const std::pair<std::string, std::string>& header)
{
    const auto& [name, value] = header;
    if (name.empty() || hasLineBreak(name) || name.find(':') != std::string::npos)
        return "header name \"" + name + "\" is empty or has a colon or line break";
    if (hasLineBreak(value))
        return "header " + name + " has a line break in its value";
    return std::string();
}
}

std::string SavedReplyList::problem(const SavedReply& reply)
{
    if (reply.name.empty() || reply.name.size() > maxNameLength || hasLineBreak(reply.name))
        return "the name must have 1 to " + std::to_string(maxNameLength) + " characters and no line break";
    if (reply.body.size() > maxBodyLength)
        return "the reply is longer than " + std::to_string(maxBodyLength) + " characters";
    const int mode = static_cast<int>(reply.mode);
    const int lineEnding = static_cast<int>(reply.lineEnding);
    if (mode < 0 || mode > 2 || lineEnding < 0 || lineEnding > 2)
        return "unknown input mode or line ending";
    const EncodedReply encoded = ReplyEncoder::encode(reply.body, reply.mode, reply.lineEnding);
    if (!encoded.ok())
        return encoded.error;
    if (std::string status = HttpStatus::problem(reply.status); !status.empty())
        return status;
    for (const auto& header : reply.headers)
        if (std::string headerError = headerProblem(header); !headerError.empty())
            return headerError;
    return std::string();
}

std::string SavedReplyList::put(SavedReply reply)
{
    if (std::string why = problem(reply); !why.empty())
        return why;
    const auto same = std::find_if(replies.begin(), replies.end(),
                                   [&reply](const SavedReply& saved) { return saved.name == reply.name; });
    if (same != replies.end()) {
        *same = std::move(reply);
        return std::string();
    }
    if (replies.size() >= maxReplies)
        return "there are already " + std::to_string(maxReplies) + " saved replies; delete one first";
    replies.push_back(std::move(reply));
    return std::string();
}

bool SavedReplyList::remove(const std::string& name)
{
    const auto found =
        std::find_if(replies.begin(), replies.end(), [&name](const SavedReply& saved) { return saved.name == name; });
    if (found == replies.end())
        return false;
    replies.erase(found);
    return true;
}

const SavedReply* SavedReplyList::find(const std::string& name) const
{
    for (const SavedReply& reply : replies)
        if (reply.name == name)
            return &reply;
    return nullptr;
}
