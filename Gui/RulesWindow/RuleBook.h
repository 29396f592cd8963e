#pragma once

#include "Rule.h"
#include "RuleCounters.h"
#include "RuleRunner.h"
#include "RuleSet.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The rules of the Rules window, kept as rules.json in the program's
// configuration folder (beside its settings), and the rule lists made from
// them for the connections: every window runs them unless switched off
// there, followed by its auto-reply. One per process; the main window loads
// it when it starts. GUI thread only.
class RuleBook : public QObject
{
    Q_OBJECT

public:
    // What a connection runs, and where the hits of the book's rules are
    // counted for the Rules window.
    struct Answering
    {
        std::shared_ptr<const RuleSet> rules;
        std::shared_ptr<RuleCounters> sharedHits;
    };

    // How an import went: why the file was refused, or the problems of the
    // rules that were added disabled.
    struct ImportReport
    {
        QString error;
        QStringList problems;
        int added = 0;
    };

    static RuleBook& shared();
    static QString filePath();

    // Reads filePath(). A file that cannot be read is moved aside (so that
    // saving does not lose it) and named in loadError().
    void load();
    QString loadError() const { return loadProblem; }

    const std::vector<Rule>& rules() const { return list; }
    // Empty, or what keeps the rule from being used.
    QString problemOf(std::size_t rule) const;
    std::uint64_t hits(std::size_t rule) const { return hitTally->hits(rule); }

    // Keeps and saves the rules; the connections run them from now on.
    // Returns an empty string or why they could not be saved.
    QString setRules(std::vector<Rule> rules);
    // Adds a file's rules after the others; those with problems come disabled.
    ImportReport importFile(const QString& path);
    QString exportFile(const QString& path) const;

    // The book's rules (or none), then an extra rule such as auto-reply.
    Answering answering(bool bookRules, const std::optional<Rule>& extra) const;

    // How many received bytes wait for a match on a connection, at most
    // (kept in the settings, group "Rules"); for connections from now on.
    static constexpr std::size_t minUnconsumedLimit = 1024;
    static constexpr std::size_t maxUnconsumedLimit = 16 * 1024 * 1024;
    std::size_t unconsumedLimit() const { return unconsumedBytes; }
    void setUnconsumedLimit(std::size_t bytes);

signals:
    void rulesChanged();

private:
    struct Made
    {
        bool bookRules = false;
        std::optional<Rule> extra;
        Answering answer;
    };
    static constexpr std::size_t maxMade = 16;

    void rebuild(std::vector<RuleProblem> problems);

    std::vector<Rule> list;
    std::vector<std::string> problems;
    const std::shared_ptr<const RuleSet> none = RuleSet::build({});
    std::shared_ptr<const RuleSet> set = none;
    std::shared_ptr<RuleCounters> hitTally = std::make_shared<RuleCounters>(0);
    QString loadProblem;
    std::size_t unconsumedBytes = RuleRunner::Options().bufferLimit;
    mutable std::vector<Made> made;
};
