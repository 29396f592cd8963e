#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace re2
{
class RE2;
class FilteredRE2;
}

// The regular expressions of a rule set, each compiled once (RE2, Latin-1,
// a bounded program), and the literal strings ("atoms") at least one of
// which must occur in a text for a given expression to match it. An
// expression with no such string of three bytes or more may always match.
class RegexPrefilter
{
public:
    static constexpr int maxProgramSize = 10000;
    static constexpr int minAtomLength = 3;

    RegexPrefilter();
    ~RegexPrefilter();
    RegexPrefilter(const RegexPrefilter&) = delete;
    RegexPrefilter& operator=(const RegexPrefilter&) = delete;

    // Compiles pattern for the given rule; nullptr and why if it cannot be used.
    const re2::RE2* add(const std::string& pattern, std::size_t rule, std::string& error);
    // Call once, after the last add.
    void finish();

    // Lower case; to be looked for ignoring the case of ASCII letters.
    const std::vector<std::string>& atoms() const { return atomList; }
    // The rules whose expressions may match a text in which the given atoms
    // (indices into atoms()) occur, in no particular order.
    void possibleRules(const std::vector<int>& presentAtoms, std::vector<std::size_t>& rules) const;

    // Whether ^, \A, \b or \B appear outside a character class: the result
    // may then change when the text starts later.
    static bool dependsOnStart(const std::string& pattern);

private:
    std::unique_ptr<re2::FilteredRE2> filter;
    std::vector<std::size_t> ruleOfRegex;
    std::vector<std::string> atomList;
    bool finished = false;
};
