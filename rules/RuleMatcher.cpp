#include "RuleMatcher.h"

#include <re2/re2.h>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace
{
bool isLiteral(ConditionKind kind)
{
    return kind == ConditionKind::Contains || kind == ConditionKind::HexBytes;
}

std::string_view viewOf(const re2::StringPiece& piece)
{
    return piece.data() ? std::string_view(piece.data(), piece.size()) : std::string_view();
}
}

RuleMatcher::RuleMatcher(std::shared_ptr<const RuleSet> ruleSet, std::uint16_t listeningPort,
                         std::size_t bufferLimit)
    : rules(std::move(ruleSet))
    , port(listeningPort)
    , buffer(bufferLimit)
    , progress(rules->size())
    , atomSeen(rules->atomCount(), nowhere)
{
    for (std::size_t index = 0; index < rules->size(); ++index) {
        if (!applies(index) || rules->definition(index).condition.onConnect)
            continue;
        activeRules.push_back(static_cast<std::uint32_t>(index));
        if (rules->definition(index).condition.kind == ConditionKind::Regex)
            regexRules.push_back(static_cast<std::uint32_t>(index));
    }
}

bool RuleMatcher::applies(std::size_t index) const
{
    const std::uint16_t rulePort = rules->definition(index).port;
    return rules->compiled(index).usable && (rulePort == 0 || rulePort == port);
}

std::size_t RuleMatcher::connectRule() const
{
    for (std::size_t index = 0; index < rules->size(); ++index)
        if (applies(index) && rules->definition(index).condition.onConnect)
            return index;
    return none;
}

std::uint64_t RuleMatcher::searchStart(const Progress& ruleProgress) const
{
    return std::max(ruleProgress.searchFrom, buffer.start());
}

void RuleMatcher::append(const char* data, std::size_t size)
{
    if (activeRules.empty()) {
        unmatched += size;
        return;
    }
    const std::uint64_t oldEnd = buffer.end();
    buffer.append(data, size);
    scanNewBytes(oldEnd);
}

void RuleMatcher::scanNewBytes(std::uint64_t oldEnd)
{
    const LiteralScanner& scanner = rules->scanner();
    if (scanner.size() == 0)
        return;
    const std::uint64_t overlap = std::min<std::uint64_t>(oldEnd, scanner.longest() - 1);
    const std::uint64_t from = std::max(buffer.start(), oldEnd - overlap);
    scanner.scan(buffer.at(from), static_cast<std::size_t>(buffer.end() - from), hits);
    for (std::size_t needle = 0; needle < hits.size(); ++needle) {
        if (hits[needle].first == LiteralScanner::npos)
            continue;
        const RuleSet::NeedleUse& use = rules->needleUse(needle);
        for (const std::uint32_t rule : use.rules)
            noteLiteral(rule, from + hits[needle].first, from + hits[needle].last);
        if (use.atom >= 0)
            noteAtom(use.atom, from + hits[needle].last);
    }
}

void RuleMatcher::noteLiteral(std::size_t rule, std::uint64_t first, std::uint64_t last)
{
    Progress& ruleProgress = progress[rule];
    const std::uint64_t start = searchStart(ruleProgress);
    if (first >= start) {
        if (ruleProgress.knownValid && (ruleProgress.known == nowhere || first < ruleProgress.known))
            ruleProgress.known = first;
    } else if (last >= start) {
        ruleProgress.knownValid = false;
    }
}

void RuleMatcher::noteAtom(int atom, std::uint64_t last)
{
    std::uint64_t& seen = atomSeen[static_cast<std::size_t>(atom)];
    const bool wasPresent = seen != nowhere && seen >= buffer.start();
    if (seen == nowhere || last > seen)
        seen = last;
    atomsChanged = atomsChanged || !wasPresent;
}

void RuleMatcher::refreshPossibleRegexes()
{
    if (!atomsChanged || regexRules.empty())
        return;
    atomsChanged = false;
    presentAtoms.clear();
    for (std::size_t atom = 0; atom < atomSeen.size(); ++atom)
        if (atomSeen[atom] != nowhere && atomSeen[atom] >= buffer.start())
            presentAtoms.push_back(static_cast<int>(atom));
    rules->possibleRegexRules(presentAtoms, possibleRules);
    for (const std::uint32_t rule : regexRules)
        progress[rule].possible = false;
    for (const std::size_t rule : possibleRules)
        progress[rule].possible = true;
}

std::optional<RuleMatcher::Match> RuleMatcher::next()
{
    refreshPossibleRegexes();
    const std::size_t count = activeRules.size();
    for (std::size_t tried = 0; tried < count; ++tried) {
        const std::size_t position = (firstToTry + tried) % count;
        const std::uint32_t rule = activeRules[position];
        if (progress[rule].spent)
            continue;
        if (std::optional<Span> span = find(rule)) {
            Match match = take(rule, std::move(*span));
            firstToTry = match.outcome == Match::Outcome::Passed ? position + 1 : 0;
            return match;
        }
    }
    firstToTry = 0;
    return std::nullopt;
}

std::optional<RuleMatcher::Span> RuleMatcher::find(std::size_t rule)
{
    const ConditionKind kind = rules->definition(rule).condition.kind;
    if (isLiteral(kind))
        return findLiteral(rule);
    if (kind == ConditionKind::Regex)
        return findRegex(rule);
    return findAnchored(rule);
}

std::optional<RuleMatcher::Span> RuleMatcher::findLiteral(std::size_t rule)
{
    Progress& ruleProgress = progress[rule];
    const std::string& pattern = rules->compiled(rule).pattern;
    if (!ruleProgress.knownValid) {
        const std::uint64_t start = searchStart(ruleProgress);
        const auto* found = static_cast<const char*>(
            ::memmem(buffer.at(start), static_cast<std::size_t>(buffer.end() - start), pattern.data(), pattern.size()));
        ruleProgress.known = found ? start + static_cast<std::uint64_t>(found - buffer.at(start)) : nowhere;
        ruleProgress.knownValid = true;
    }
    if (ruleProgress.known == nowhere)
        return std::nullopt;
    return spanWithCapture(rule, ruleProgress.known, ruleProgress.known + pattern.size());
}

std::optional<RuleMatcher::Span> RuleMatcher::findAnchored(std::size_t rule)
{
    Progress& ruleProgress = progress[rule];
    if (ruleProgress.searchFrom > buffer.start() || ruleProgress.refusedAt == buffer.start())
        return std::nullopt;
    const std::string& pattern = rules->compiled(rule).pattern;
    const bool equals = rules->definition(rule).condition.kind == ConditionKind::Equals;
    const std::size_t have = buffer.size();
    const std::size_t compared = std::min(have, pattern.size());
    const bool agrees = std::memcmp(buffer.at(buffer.start()), pattern.data(), compared) == 0;
    if (!agrees || (equals && have > pattern.size())) {
        ruleProgress.refusedAt = buffer.start();
        return std::nullopt;
    }
    if (have < pattern.size())
        return std::nullopt;
    return spanWithCapture(rule, buffer.start(), buffer.start() + pattern.size());
}

std::optional<RuleMatcher::Span> RuleMatcher::findRegex(std::size_t rule)
{
    Progress& ruleProgress = progress[rule];
    if (!ruleProgress.possible)
        return std::nullopt;
    const RuleSet::Compiled& compiled = rules->compiled(rule);
    const std::uint64_t from = searchStart(ruleProgress);
    const bool unchanged = ruleProgress.failedEnd == buffer.end()
        && (compiled.regexDependsOnStart
                ? ruleProgress.failedStart == buffer.start() && ruleProgress.failedFrom == from
                : ruleProgress.failedFrom <= from);
    if (unchanged)
        return std::nullopt;
    const std::string_view text = buffer.view();
    const int groups = compiled.usesCaptures ? 1 + compiled.regex->NumberOfCapturingGroups() : 1;
    std::vector<re2::StringPiece> found(static_cast<std::size_t>(groups));
    for (auto at = static_cast<std::size_t>(from - buffer.start()); at <= text.size(); ++at) {
        const re2::StringPiece subject(text.data(), text.size());
        if (!compiled.regex->Match(subject, at, text.size(), RE2::UNANCHORED, found.data(), groups))
            break;
        at = static_cast<std::size_t>(found[0].data() - text.data());
        if (found[0].empty())
            continue;
        Span span{buffer.start() + at, buffer.start() + at + found[0].size(), {}};
        if (compiled.usesCaptures)
            std::transform(found.begin(), found.end(), std::back_inserter(span.captures), viewOf);
        return span;
    }
    ruleProgress.failedStart = buffer.start();
    ruleProgress.failedFrom = from;
    ruleProgress.failedEnd = buffer.end();
    return std::nullopt;
}

RuleMatcher::Span RuleMatcher::spanWithCapture(std::size_t rule, std::uint64_t start, std::uint64_t end) const
{
    Span span{start, end, {}};
    if (rules->compiled(rule).usesCaptures)
        span.captures.emplace_back(buffer.at(start), static_cast<std::size_t>(end - start));
    return span;
}

RuleMatcher::Match RuleMatcher::take(std::size_t rule, Span span)
{
    Progress& ruleProgress = progress[rule];
    const unsigned nth = rules->definition(rule).condition.nth;
    Match match;
    match.rule = rule;
    match.count = ++ruleProgress.count;
    match.length = static_cast<std::size_t>(span.end - span.start);
    if (nth > 1 && ruleProgress.count < nth) {
        match.outcome = Match::Outcome::Passed;
        ruleProgress.searchFrom = span.end;
        ruleProgress.knownValid = ruleProgress.known == nowhere || ruleProgress.known >= span.end;
        ruleProgress.failedEnd = nowhere;
        return match;
    }
    ruleProgress.spent = nth > 0;
    match.skippedBytes = static_cast<std::size_t>(span.start - buffer.start());
    match.captures = std::move(span.captures);
    unmatched += match.skippedBytes;
    buffer.consumeTo(span.end);
    afterStartMoved();
    return match;
}

std::size_t RuleMatcher::trim()
{
    const std::size_t dropped = buffer.trim();
    if (dropped > 0) {
        unmatched += dropped;
        afterStartMoved();
    }
    return dropped;
}

void RuleMatcher::afterStartMoved()
{
    for (const std::uint32_t rule : activeRules) {
        Progress& ruleProgress = progress[rule];
        if (ruleProgress.known != nowhere && ruleProgress.known < searchStart(ruleProgress))
            ruleProgress.knownValid = false;
    }
    for (std::uint64_t& seen : atomSeen) {
        if (seen != nowhere && seen < buffer.start()) {
            seen = nowhere;
            atomsChanged = true;
        }
    }
}
