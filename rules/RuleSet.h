#pragma once

#include "LiteralScanner.h"
#include "RegexPrefilter.h"
#include "ReplyTemplate.h"
#include "Rule.h"
#include "RuleProblem.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A list of rules made ready for matching once and then never changed, so
// that every connection (on whichever IO thread) shares one snapshot: the
// bytes of each pattern, each regular expression compiled once, each reply
// encoded, and one scanner for the literal strings of all of them.
class RuleSet
{
public:
    static constexpr std::size_t maxRules = 1000;
    static constexpr std::size_t maxActions = 100;
    static constexpr std::size_t maxPatternLength = 16 * 1024;
    static constexpr std::size_t maxPieceSize = 1024 * 1024;
    static constexpr std::chrono::milliseconds maxDuration{60 * 60 * 1000};

    // One rule, ready. A rule is usable when it is enabled and has no problem.
    struct Compiled
    {
        bool usable = false;
        // "rule 'login'", or "rule 3" (counted from 1) for one without a name.
        std::string label;
        const re2::RE2* regex = nullptr;
        bool regexDependsOnStart = false;
        // The bytes of a Contains, HexBytes, StartsWith or Equals condition.
        std::string pattern;
        // One per action; empty for those that send no text.
        std::vector<ReplyTemplate> replies;
        bool usesCaptures = false;
    };

    // Which rules a needle of the scanner stands for: the literal rules that
    // look for it, or a regular expressions' atom.
    struct NeedleUse
    {
        std::vector<std::uint32_t> rules;
        int atom = -1;
    };

    // Adds what is wrong with each rule to problems (which may already hold
    // problems found while reading them); a rule with any problem there is
    // kept, disabled.
    static std::shared_ptr<const RuleSet> build(std::vector<Rule> rules, std::vector<RuleProblem>& problems);
    static std::shared_ptr<const RuleSet> build(std::vector<Rule> rules);

    std::size_t size() const { return definitions.size(); }
    const std::vector<Rule>& rules() const { return definitions; }
    const Rule& definition(std::size_t index) const { return definitions[index]; }
    const Compiled& compiled(std::size_t index) const { return ready[index]; }

    const LiteralScanner& scanner() const { return literals; }
    const NeedleUse& needleUse(std::size_t needle) const { return needleUses[needle]; }
    std::size_t atomCount() const { return regexes.atoms().size(); }
    void possibleRegexRules(const std::vector<int>& presentAtoms, std::vector<std::size_t>& rules) const
    {
        regexes.possibleRules(presentAtoms, rules);
    }

private:
    RuleSet() = default;

    void compileRule(std::size_t index, std::vector<RuleProblem>& problems);
    std::string compileCondition(std::size_t index, Compiled& rule);
    ReplyTemplate::Groups groupsOf(const Compiled& rule) const;
    void compileActions(std::size_t index, Compiled& rule, std::vector<RuleProblem>& problems);
    std::string actionProblem(const Action& action) const;
    void buildScanner();

    std::vector<Rule> definitions;
    std::vector<Compiled> ready;
    RegexPrefilter regexes;
    LiteralScanner literals;
    std::vector<NeedleUse> needleUses;
};
