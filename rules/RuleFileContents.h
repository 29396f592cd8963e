#pragma once

#include "RuleProblem.h"
#include "RuleSet.h"

#include <memory>
#include <string>
#include <vector>

// What reading a rule file gave: the rules (never null; empty when the file
// as a whole was refused), what is wrong with single rules (those are kept
// but not used), and why the file was refused, if it was.
struct RuleFileContents
{
    std::shared_ptr<const RuleSet> rules;
    std::vector<RuleProblem> problems;
    std::string error;

    bool ok() const { return error.empty(); }
};
