#pragma once

#include "RuleReply.h"

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// A reply made ready once, when its rule set is built: the text encoded in
// its input mode around the references to what the condition matched, so
// that filling them in costs a copy. A capture's bytes go out exactly as
// received, whatever the mode.
class ReplyTemplate
{
public:
    static constexpr std::size_t maxExpandedSize = 16 * 1024 * 1024;

    // The groups a reference may name: 0 to groupCount, and names.
    struct Groups
    {
        int count = 0;
        std::map<std::string, int> names;
    };

    // Empty error on success; otherwise what is wrong and where, in the
    // words of the reply's text.
    static ReplyTemplate parse(const RuleReply& reply, const Groups& groups, std::string& error);

    // The bytes to send; captures[i] is group i (absent groups are empty).
    // Returns false, with why in error, if they would exceed maxExpandedSize.
    bool expand(const std::vector<std::string_view>& captures, std::string& bytes, std::string& error) const;
    bool usesCaptures() const;

private:
    struct Piece
    {
        std::string bytes;
        int group = -1;
    };

    static std::string problemIn(const RuleReply& reply);
    bool addLiteral(const std::string& text, const RuleReply& reply, std::size_t offset, std::string& error);
    bool addReference(const std::string& text, std::size_t& at, const Groups& groups, std::string& error);

    std::vector<Piece> pieces;
    RuleReply::Http http;
    bool framed = false;
};
