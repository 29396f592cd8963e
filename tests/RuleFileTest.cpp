// The rule file: what a broken rule or file reports and keeps, and that
// writing and reading give the same rules back.

#include "RuleFileReader.h"
#include "RuleFileWriter.h"
#include "RuleTestSupport.h"

#include <gtest/gtest.h>

using namespace RuleTest;

namespace
{
std::vector<std::string> problemTexts(const RuleFileContents& contents)
{
    std::vector<std::string> texts;
    for (const RuleProblem& problem : contents.problems)
        texts.push_back(problem.text());
    return texts;
}

std::string ruleJson(const std::string& name, const std::string& condition, const std::string& actions = "[]")
{
    return R"({"name": ")" + name + R"(", "condition": )" + condition + R"(, "actions": )" + actions + "}";
}
}

TEST(RuleFileTest, EachProblemNamesItsRuleAndFieldAndDisablesOnlyThatRule)
{
    const std::string file = R"({"version": 1, "rules": [)"
        + ruleJson("good", R"({"kind": "contains", "value": "PING"})", R"([{"reply": {"text": "PONG"}}])") + ","
        + ruleJson("regex", R"({"kind": "regex", "value": "(unclosed"})") + ","
        + ruleJson("hex", R"({"kind": "hex", "value": "dea"})") + ","
        + ruleJson("extra", R"({"kind": "equals", "value": "x", "colour": "red"})") + ","
        + ruleJson("type", R"({"kind": "contains", "value": "x"})", R"([{"wait_ms": "300"}])") + ","
        + ruleJson("group", R"({"kind": "contains", "value": "x"})", R"([{"reply": {"text": "$3"}}])") + ","
        + ruleJson("wide", R"({"kind": "contains", "value": "€"})") + ","
        + R"(42, {"condition": {"on_connect": true, "nth": 2}}]})";
    const RuleFileContents contents = RuleFileReader::parse(file);
    ASSERT_TRUE(contents.ok()) << contents.error;
    EXPECT_EQ(problemTexts(contents),
              (std::vector<std::string>{
                  "rules[3] \"extra\", condition.colour: unknown field",
                  "rules[4] \"type\", actions[0].wait_ms: expected a whole number, found string",
                  "rules[6] \"wide\", condition.value: the character U+20AC at position 1 is not Latin-1 (one "
                  "byte): write such bytes as escapes or hex",
                  "rules[7]: expected an object, found number",
                  "rules[1] \"regex\", condition.value: the regular expression does not compile: missing ): "
                  "(unclosed",
                  "rules[2] \"hex\", condition.value: Odd number of hex digits: the digit at position 3 has no "
                  "partner",
                  "rules[5] \"group\", actions[0].reply: no group $3 at position 1: the condition has only $0",
                  "rules[8], condition.nth: a rule on a new connection fires once; it has no Nth time"}));
    ASSERT_EQ(contents.rules->size(), 9u);
    EXPECT_TRUE(contents.rules->compiled(0).usable);
    for (std::size_t index = 1; index < 9; ++index) {
        EXPECT_FALSE(contents.rules->compiled(index).usable) << index;
        EXPECT_FALSE(contents.rules->definition(index).enabled) << index;
    }
}

TEST(RuleFileTest, AFileThatIsNotARuleFileIsOneErrorAndNoRules)
{
    const RuleFileContents truncated = RuleFileReader::parse(R"({"version": 1, "rules": [{"name": "a")");
    EXPECT_EQ(truncated.rules->size(), 0u);
    EXPECT_EQ(truncated.error.rfind("the rule file is not valid JSON, at byte 38: ", 0), 0u) << truncated.error;
    EXPECT_TRUE(truncated.problems.empty());

    EXPECT_EQ(RuleFileReader::parse("[]").error, "the rule file must be an object with \"version\" and \"rules\"");
    EXPECT_EQ(RuleFileReader::parse(R"({"version": 2, "rules": []})").error,
              "the rule file must have \"version\": 1, it has 2");
    EXPECT_EQ(RuleFileReader::parse(R"({"version": 1, "rules": {}})").error,
              "the rule file must have \"rules\": an array of rules");
    EXPECT_FALSE(RuleFileReader::load("/nonexistent/rules.json").ok());
}

TEST(RuleFileTest, WritingAndReadingGiveTheSameRules)
{
    Rule greeting;
    greeting.name = "gr\xe9""et";
    greeting.condition.onConnect = true;
    Action framed = reply("caf\xe9 $0\n", InputMode::Text);
    framed.reply.lineEnding = LineEnding::CRLF;
    framed.reply.http = RuleReply::Http{"404 Not Found", {{"Content-Type", "text/plain"}, {"X-\xb5", "\x01"}}};
    Action pieces = reply("\\x00\\xff");
    pieces.kind = ActionKind::SendInPieces;
    pieces.pieceSize = 3;
    pieces.duration = std::chrono::milliseconds(7);
    Action file = simple(ActionKind::SendFile);
    file.path = "/tmp/r\xc3\xa9ponse.bin";
    Action pause = simple(ActionKind::PauseReading);
    pause.duration = std::chrono::milliseconds(500);
    greeting.actions = {framed, pieces, waitMs(300), file, simple(ActionKind::CloseSending),
                        simple(ActionKind::Reset), pause};
    Rule regex = rule("re", ConditionKind::Regex, "^A\\d+\xe9", {}, 2);
    regex.port = 2222;
    regex.enabled = false;
    Rule hex = rule("", ConditionKind::HexBytes, "00 ff", {});
    Rule text = rule("t", ConditionKind::Equals, std::string("a\0b", 3), {});
    text.condition.mode = InputMode::Text;
    const std::vector<Rule> rules{greeting, regex, hex, text};

    const std::string written = RuleFileWriter::write(rules);
    const RuleFileContents read = RuleFileReader::parse(written);
    ASSERT_TRUE(read.ok()) << read.error;
    EXPECT_TRUE(read.problems.empty()) << read.problems.front().text();
    EXPECT_EQ(read.rules->rules(), rules);
    EXPECT_EQ(RuleFileWriter::write(read.rules->rules()), written);
}
