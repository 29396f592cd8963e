#include "RegexPrefilter.h"

#include <re2/filtered_re2.h>
#include <re2/re2.h>

namespace
{
RE2::Options latin1Options()
{
    RE2::Options options;
    options.set_encoding(RE2::Options::EncodingLatin1);
    options.set_log_errors(false);
    return options;
}

// Skips a character class starting at pattern[at] == '['; returns the index of its closing ].
std::size_t skipClass(const std::string& pattern, std::size_t at)
{
    ++at;
    if (at < pattern.size() && pattern[at] == '^')
        ++at;
    if (at < pattern.size() && pattern[at] == ']')
        ++at;
    for (; at < pattern.size() && pattern[at] != ']'; ++at) {
        if (pattern[at] == '\\')
            ++at;
        else if (const std::size_t named = pattern.compare(at, 2, "[:") == 0 ? pattern.find(":]", at + 2)
                                                                          : std::string::npos;
                 named != std::string::npos)
            at = named + 1;
    }
    return at;
}
}

RegexPrefilter::RegexPrefilter()
    : filter(std::make_unique<re2::FilteredRE2>(minAtomLength))
{
}

RegexPrefilter::~RegexPrefilter() = default;

const re2::RE2* RegexPrefilter::add(const std::string& pattern, std::size_t rule, std::string& error)
{
    const RE2::Options options = latin1Options();
    int id = -1;
    if (filter->Add(pattern, options, &id) != RE2::NoError) {
        const RE2 failed(pattern, options);
        error = "the regular expression does not compile: " + failed.error();
        return nullptr;
    }
    ruleOfRegex.push_back(rule);
    const RE2& regex = filter->GetRE2(id);
    if (regex.ProgramSize() > maxProgramSize) {
        error = "the regular expression is too large: its program has " + std::to_string(regex.ProgramSize())
            + " instructions, at most " + std::to_string(maxProgramSize) + " are allowed";
        return nullptr;
    }
    if (RE2::PartialMatch("", regex)) {
        error = "the regular expression matches empty input, so it would fire on nothing";
        return nullptr;
    }
    return &regex;
}

void RegexPrefilter::finish()
{
    if (!ruleOfRegex.empty())
        filter->Compile(&atomList);
    finished = true;
}

void RegexPrefilter::possibleRules(const std::vector<int>& presentAtoms, std::vector<std::size_t>& rules) const
{
    rules.clear();
    if (!finished || ruleOfRegex.empty())
        return;
    std::vector<int> regexes;
    filter->AllPotentials(presentAtoms, &regexes);
    for (const int regex : regexes)
        rules.push_back(ruleOfRegex[static_cast<std::size_t>(regex)]);
}

bool RegexPrefilter::dependsOnStart(const std::string& pattern)
{
    for (std::size_t at = 0; at < pattern.size(); ++at) {
        const char c = pattern[at];
        if (c == '^')
            return true;
        if (c == '[') {
            at = skipClass(pattern, at);
        } else if (c == '\\' && at + 1 < pattern.size()) {
            const char escaped = pattern[++at];
            if (escaped == 'A' || escaped == 'b' || escaped == 'B')
                return true;
        }
    }
    return false;
}
