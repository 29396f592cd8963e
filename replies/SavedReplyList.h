#pragma once

#include "ReplyEncoder.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// A reply kept under a name, sent with its own input mode; for HTTP also
// its status and header lines.
struct SavedReply
{
    std::string name;
    std::string body;
    InputMode mode = InputMode::Text;
    LineEnding lineEnding = LineEnding::LF;
    std::string status = "200 OK";
    std::vector<std::pair<std::string, std::string>> headers;
};

// The saved replies in the order they were first saved, each name once.
class SavedReplyList
{
public:
    static constexpr std::size_t maxReplies = 200;
    static constexpr std::size_t maxNameLength = 80;
    static constexpr std::size_t maxBodyLength = 1024 * 1024;

    // Empty if the reply could be sent as it is; otherwise what is wrong.
    static std::string problem(const SavedReply& reply);

    // Adds the reply, or replaces the one of the same name. Returns an empty
    // string or why it was refused (invalid, or the list is full).
    std::string put(SavedReply reply);
    bool remove(const std::string& name);
    const SavedReply* find(const std::string& name) const;
    const std::vector<SavedReply>& all() const { return replies; }
    void clear() { replies.clear(); }

private:
    std::vector<SavedReply> replies;
};
