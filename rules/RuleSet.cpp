#include "RuleSet.h"

#include "RuleSchema.h"

#include <re2/re2.h>

#include <algorithm>
#include <map>
#include <utility>

namespace
{
void report(std::vector<RuleProblem>& problems, std::size_t index, const Rule& rule, std::string field,
            std::string message)
{
    problems.push_back(RuleProblem{index, rule.name, std::move(field), std::move(message)});
}

// Whether a problem was already found in the rule as a whole or at a field under prefix.
bool hasProblem(const std::vector<RuleProblem>& problems, std::size_t index, const std::string& prefix = "")
{
    return std::any_of(problems.begin(), problems.end(), [&](const RuleProblem& problem) {
        const std::string& field = problem.field;
        const std::size_t n = prefix.size();
        const bool wholeRule = field.empty();
        return problem.rule == index
            && (wholeRule || (field.compare(0, n, prefix) == 0
                              && (n == 0 || field.size() == n || field[n] == '.' || field[n] == '[')));
    });
}

std::string labelOf(const Rule& rule, std::size_t index)
{
    return rule.name.empty() ? "rule " + std::to_string(index + 1) : "rule '" + rule.name + "'";
}

EncodedReply patternBytes(const Condition& condition)
{
    switch (condition.kind) {
    case ConditionKind::HexBytes:
        return ReplyEncoder::encode(condition.value, InputMode::Hex);
    case ConditionKind::Regex:
        return EncodedReply{condition.value, std::string()};
    default:
        break;
    }
    if (condition.mode == InputMode::Text)
        return EncodedReply{condition.value, std::string()};
    return ReplyEncoder::encode(condition.value, condition.mode);
}

bool isLiteral(ConditionKind kind)
{
    return kind == ConditionKind::Contains || kind == ConditionKind::HexBytes;
}
}

std::shared_ptr<const RuleSet> RuleSet::build(std::vector<Rule> rules)
{
    std::vector<RuleProblem> problems;
    return build(std::move(rules), problems);
}

std::shared_ptr<const RuleSet> RuleSet::build(std::vector<Rule> rules, std::vector<RuleProblem>& problems)
{
    std::shared_ptr<RuleSet> set(new RuleSet());
    set->definitions = std::move(rules);
    set->ready.resize(set->definitions.size());
    if (set->definitions.size() > maxRules)
        problems.push_back(RuleProblem{RuleProblem::npos, std::string(), "rules",
                                       "more than " + std::to_string(maxRules) + " rules: the rest are not used"});
    for (std::size_t index = 0; index < set->definitions.size(); ++index)
        set->compileRule(index, problems);
    set->regexes.finish();
    set->buildScanner();
    return set;
}

void RuleSet::compileRule(std::size_t index, std::vector<RuleProblem>& problems)
{
    const Rule& rule = definitions[index];
    Compiled& compiledRule = ready[index];
    compiledRule.label = labelOf(rule, index);
    const bool conditionRead = !hasProblem(problems, index, "condition");
    if (std::string why = conditionRead ? compileCondition(index, compiledRule) : ""; !why.empty())
        report(problems, index, rule, "condition." + std::string(rule.condition.onConnect ? "nth" : "value"), why);
    compileActions(index, compiledRule, problems);
    if (hasProblem(problems, index))
        definitions[index].enabled = false;
    compiledRule.usable = definitions[index].enabled && index < maxRules;
}

std::string RuleSet::compileCondition(std::size_t index, Compiled& rule)
{
    const Condition& condition = definitions[index].condition;
    if (condition.onConnect)
        return condition.nth > 1 ? "a rule on a new connection fires once; it has no Nth time" : std::string();
    if (condition.value.empty())
        return "empty: the condition would match nothing";
    if (condition.value.size() > maxPatternLength)
        return "longer than " + std::to_string(maxPatternLength) + " characters";
    EncodedReply bytes = patternBytes(condition);
    if (!bytes.ok())
        return bytes.error;
    if (bytes.bytes.empty())
        return "no bytes: the condition would match nothing";
    if (condition.kind != ConditionKind::Regex) {
        rule.pattern = std::move(bytes.bytes);
        return std::string();
    }
    std::string error;
    rule.regex = regexes.add(condition.value, index, error);
    rule.regexDependsOnStart = RegexPrefilter::dependsOnStart(condition.value);
    return error;
}

ReplyTemplate::Groups RuleSet::groupsOf(const Compiled& rule) const
{
    ReplyTemplate::Groups groups;
    if (!rule.regex)
        return groups;
    groups.count = rule.regex->NumberOfCapturingGroups();
    for (const auto& [name, group] : rule.regex->NamedCapturingGroups())
        groups.names[name] = group;
    return groups;
}

void RuleSet::compileActions(std::size_t index, Compiled& rule, std::vector<RuleProblem>& problems)
{
    const Rule& definition = definitions[index];
    if (definition.actions.size() > maxActions)
        report(problems, index, definition, "actions", "more than " + std::to_string(maxActions) + " actions");
    const ReplyTemplate::Groups groups = groupsOf(rule);
    for (std::size_t i = 0; i < definition.actions.size(); ++i) {
        const Action& action = definition.actions[i];
        const std::string path = RuleSchema::actionPath(i, action.kind);
        rule.replies.emplace_back();
        if (hasProblem(problems, index, "actions[" + std::to_string(i) + "]"))
            continue;
        if (std::string why = actionProblem(action); !why.empty())
            report(problems, index, definition, path, why);
        if (action.kind != ActionKind::Reply && action.kind != ActionKind::SendInPieces)
            continue;
        std::string error;
        rule.replies.back() = ReplyTemplate::parse(action.reply, groups, error);
        if (!error.empty())
            report(problems, index, definition, path, error);
        rule.usesCaptures = rule.usesCaptures || rule.replies.back().usesCaptures();
    }
}

std::string RuleSet::actionProblem(const Action& action) const
{
    const bool timed = action.kind == ActionKind::Wait || action.kind == ActionKind::PauseReading
        || action.kind == ActionKind::SendInPieces;
    if (timed && (action.duration.count() < 0 || action.duration > maxDuration))
        return "a time from 0 to " + std::to_string(maxDuration.count()) + " ms";
    if (action.kind == ActionKind::SendInPieces && (action.pieceSize == 0 || action.pieceSize > maxPieceSize))
        return "a piece size from 1 to " + std::to_string(maxPieceSize) + " bytes";
    if (action.kind == ActionKind::SendFile && action.path.empty())
        return "no file named";
    return std::string();
}

void RuleSet::buildScanner()
{
    std::vector<LiteralScanner::Needle> needles;
    std::map<std::pair<std::string, bool>, std::size_t> known;
    const auto needleFor = [&](const std::string& bytes, bool ignoreCase) {
        const auto [at, added] = known.emplace(std::make_pair(bytes, ignoreCase), needles.size());
        if (added) {
            needles.push_back(LiteralScanner::Needle{bytes, ignoreCase});
            needleUses.emplace_back();
        }
        return at->second;
    };
    for (std::size_t index = 0; index < ready.size(); ++index) {
        if (ready[index].usable && !definitions[index].condition.onConnect
            && isLiteral(definitions[index].condition.kind))
            needleUses[needleFor(ready[index].pattern, false)].rules.push_back(static_cast<std::uint32_t>(index));
    }
    for (std::size_t atom = 0; atom < regexes.atoms().size(); ++atom)
        needleUses[needleFor(regexes.atoms()[atom], true)].atom = static_cast<int>(atom);
    literals = LiteralScanner(std::move(needles));
}
