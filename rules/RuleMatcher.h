#pragma once

#include "MatchBuffer.h"
#include "RuleSet.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

// Decides, for one connection, which rule fires on the bytes it received.
// The rules are tried in order on the bytes not yet consumed, across reads,
// and the first usable one that matches wins; its match consumes the bytes
// through its end. Each read is looked at once: literal strings (of the
// Contains and hex conditions, and those a regular expression needs) by one
// scan of the new bytes, a StartsWith or Equals condition only until it can
// no longer match at the current start, a regular expression only once one
// of its literal strings is there and something changed since it last
// failed. Not thread-safe: one connection, one strand.
//
// "Only the Nth time": the earlier matches are counted, reported as Passed
// and consume nothing. The rules below it are tried next, on the same bytes,
// as if the rule had not matched; then the rule looks for its next match
// after this one's end. So a burst of messages fares as the same messages
// one by one.
class RuleMatcher
{
public:
    struct Match
    {
        enum class Outcome { Fired, Passed };

        Outcome outcome = Outcome::Fired;
        std::size_t rule = 0;
        // This was the rule's count-th match on the connection.
        std::uint64_t count = 0;
        // Bytes before the match that it consumed too: they matched nothing.
        std::size_t skippedBytes = 0;
        std::size_t length = 0;
        // $0, then a regular expression's groups (empty if they did not
        // take part). Only when the rule's replies use them; valid until the
        // matcher is next called.
        std::vector<std::string_view> captures;
    };

    static constexpr std::size_t none = static_cast<std::size_t>(-1);

    RuleMatcher(std::shared_ptr<const RuleSet> rules, std::uint16_t listeningPort, std::size_t bufferLimit);

    // The rule to fire when the connection opens, or none.
    std::size_t connectRule() const;

    // Takes bytes in; at most bufferLimit() at a time, then next() until it
    // finds nothing, then trim().
    void append(const char* data, std::size_t size);
    std::optional<Match> next();
    // Drops the oldest unconsumed bytes beyond the limit; returns how many.
    std::size_t trim();

    std::size_t bufferLimit() const { return buffer.limit(); }
    std::size_t waitingBytes() const { return buffer.size(); }
    std::string_view waiting() const { return buffer.view(); }
    // Bytes skipped before a match or dropped by trim().
    std::uint64_t unmatchedBytes() const { return unmatched; }

private:
    static constexpr std::uint64_t nowhere = static_cast<std::uint64_t>(-1);

    struct Span
    {
        std::uint64_t start = 0;
        std::uint64_t end = 0;
        std::vector<std::string_view> captures;
    };

    struct Progress
    {
        std::uint64_t count = 0;
        bool spent = false;
        // The rule's next match starts here or later (after a Passed one).
        std::uint64_t searchFrom = 0;
        // Literal kinds: the first occurrence at or after the search start.
        std::uint64_t known = nowhere;
        bool knownValid = true;
        // StartsWith and Equals: cannot match while the buffer starts here.
        std::uint64_t refusedAt = nowhere;
        // Regular expressions: whether their atoms are there; the last search that failed.
        bool possible = false;
        std::uint64_t failedStart = nowhere;
        std::uint64_t failedFrom = nowhere;
        std::uint64_t failedEnd = nowhere;
    };

    bool applies(std::size_t index) const;
    std::uint64_t searchStart(const Progress& progress) const;
    void scanNewBytes(std::uint64_t oldEnd);
    void noteLiteral(std::size_t rule, std::uint64_t first, std::uint64_t last);
    void noteAtom(int atom, std::uint64_t last);
    void refreshPossibleRegexes();
    void afterStartMoved();

    std::optional<Span> find(std::size_t rule);
    std::optional<Span> findLiteral(std::size_t rule);
    std::optional<Span> findAnchored(std::size_t rule);
    std::optional<Span> findRegex(std::size_t rule);
    Span spanWithCapture(std::size_t rule, std::uint64_t start, std::uint64_t end) const;
    Match take(std::size_t rule, Span span);

    std::shared_ptr<const RuleSet> rules;
    std::uint16_t port;
    MatchBuffer buffer;
    std::vector<std::uint32_t> activeRules;
    std::vector<std::uint32_t> regexRules;
    std::vector<Progress> progress;
    std::vector<std::uint64_t> atomSeen;
    bool atomsChanged = true;
    std::uint64_t unmatched = 0;
    // Where in activeRules the next round starts: after a Passed rule, below it.
    std::size_t firstToTry = 0;

    std::vector<LiteralScanner::Hits> hits;
    std::vector<int> presentAtoms;
    std::vector<std::size_t> possibleRules;
};
