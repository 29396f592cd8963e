#include "RuleBook.h"

#include "Log.h"
#include "RuleFileReader.h"
#include "RuleFileWriter.h"
#include "SettingsReader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <algorithm>

namespace
{
// Rules with a problem are kept, switched off, so that the user sees them
// and can mend them.
std::vector<Rule> disableFaulty(const RuleSet& read, const std::vector<RuleProblem>& problems)
{
    std::vector<Rule> rules = read.rules();
    for (const RuleProblem& problem : problems)
        if (problem.rule < rules.size())
            rules[problem.rule].enabled = false;
    return rules;
}
}

RuleBook& RuleBook::shared()
{
    static RuleBook book;
    return book;
}

QString RuleBook::filePath()
{
    return QFileInfo(QSettings().fileName()).absolutePath() + QStringLiteral("/rules.json");
}

void RuleBook::load()
{
    {
        QSettings settings;
        SettingsReader reader(settings, "Rules");
        unconsumedBytes = static_cast<std::size_t>(
            reader.readInt("UnconsumedLimit", static_cast<int>(RuleRunner::Options().bufferLimit),
                           static_cast<int>(minUnconsumedLimit), static_cast<int>(maxUnconsumedLimit)));
    }
    loadProblem.clear();
    const QString path = filePath();
    if (!QFile::exists(path)) {
        list.clear();
        rebuild({});
        return;
    }
    RuleFileContents contents = RuleFileReader::load(QFile::encodeName(path).toStdString());
    if (!contents.ok()) {
        const QString aside = path + QStringLiteral(".unreadable");
        QFile::remove(aside);
        QFile::rename(path, aside);
        loadProblem = QStringLiteral("The stored rules could not be read (%1); the file was moved to %2")
                          .arg(QString::fromStdString(contents.error), aside);
        Log::line(loadProblem.toStdString());
        list.clear();
        rebuild({});
        return;
    }
    for (const RuleProblem& problem : contents.problems)
        Log::line("Stored rule: ", problem.text());
    list = disableFaulty(*contents.rules, contents.problems);
    rebuild(std::move(contents.problems));
}

void RuleBook::setUnconsumedLimit(std::size_t bytes)
{
    unconsumedBytes = std::clamp(bytes, minUnconsumedLimit, maxUnconsumedLimit);
    QSettings().setValue("Rules/UnconsumedLimit", static_cast<qulonglong>(unconsumedBytes));
}

QString RuleBook::problemOf(std::size_t rule) const
{
    return rule < problems.size() ? QString::fromStdString(problems[rule]) : QString();
}

QString RuleBook::setRules(std::vector<Rule> rules)
{
    list = std::move(rules);
    rebuild({});
    QDir().mkpath(QFileInfo(filePath()).absolutePath());
    std::string error;
    if (!RuleFileWriter::save(list, QFile::encodeName(filePath()).toStdString(), error))
        return QString::fromStdString(error);
    return QString();
}

RuleBook::ImportReport RuleBook::importFile(const QString& path)
{
    ImportReport report;
    RuleFileContents contents = RuleFileReader::load(QFile::encodeName(path).toStdString());
    if (!contents.ok()) {
        report.error = QString::fromStdString(contents.error);
        return report;
    }
    const std::size_t first = list.size();
    std::vector<Rule> rules = list;
    for (Rule& rule : disableFaulty(*contents.rules, contents.problems))
        rules.push_back(std::move(rule));
    for (const RuleProblem& problem : contents.problems)
        report.problems.append(QString::fromStdString(problem.text()));
    report.added = static_cast<int>(rules.size() - first);
    const QString saved = setRules(std::move(rules));
    if (!saved.isEmpty())
        report.problems.append(QStringLiteral("Not saved: %1").arg(saved));
    return report;
}

QString RuleBook::exportFile(const QString& path) const
{
    std::string error;
    if (!RuleFileWriter::save(list, QFile::encodeName(path).toStdString(), error))
        return QString::fromStdString(error);
    return QString();
}

// Each stored rule's problems, as the rule set finds them; the connections
// are told to take the new rules.
void RuleBook::rebuild(std::vector<RuleProblem> found)
{
    set = RuleSet::build(list, found);
    problems.assign(list.size(), std::string());
    for (const RuleProblem& problem : found) {
        if (problem.rule >= list.size())
            continue;
        std::string& text = problems[problem.rule];
        text += (text.empty() ? "" : "\n") + problem.text();
    }
    hitTally = std::make_shared<RuleCounters>(list.size());
    made.clear();
    emit rulesChanged();
}

// The same choice gets the same list, made once: a burst of clients shares it.
RuleBook::Answering RuleBook::answering(bool bookRules, const std::optional<Rule>& extra) const
{
    if (!extra)
        return bookRules ? Answering{set, hitTally} : Answering{none, nullptr};
    for (const Made& one : made)
        if (one.bookRules == bookRules && one.extra == extra)
            return one.answer;
    std::vector<Rule> rules = bookRules ? list : std::vector<Rule>();
    rules.push_back(*extra);
    Answering answer{RuleSet::build(std::move(rules)), bookRules ? hitTally : nullptr};
    if (made.size() >= maxMade)
        made.clear();
    made.push_back(Made{bookRules, extra, answer});
    return answer;
}
