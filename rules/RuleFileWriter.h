#pragma once

#include "Rule.h"

#include <string>
#include <vector>

// Writes rules in the format RuleFileReader reads (see there), so that
// reading what was written gives the same rules back.
class RuleFileWriter
{
public:
    static std::string write(const std::vector<Rule>& rules);
    // Returns false, with why in error, if the file cannot be written.
    static bool save(const std::vector<Rule>& rules, const std::string& path, std::string& error);
};
