// What rules a recorded conversation becomes.

#include "ReplayConverter.h"
#include "RuleSet.h"

#include <gtest/gtest.h>

TEST(ReplayConverterTest, AGreetingFiresOnConnectAndEachPartOnceWithItsTiming)
{
    using Direction = RecordedChunk::Direction;
    const std::vector<RecordedChunk> recorded{{Direction::Sent, "220 ready\r\n", 40000},
                                              {Direction::Received, "HELO x\r\n", 50000},
                                              {Direction::Sent, "250 ok $5\r\n", 80000},
                                              {Direction::Sent, std::string("\0\xff", 2), 90000},
                                              {Direction::Received, "QUIT\r\n", 100000}};
    ReplayConverter::Options timed;
    timed.keepTiming = true;
    const std::vector<Rule> rules = ReplayConverter::convert(recorded, timed);
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].name, "greeting");
    EXPECT_TRUE(rules[0].condition.onConnect);
    ASSERT_EQ(rules[0].actions.size(), 2u);
    EXPECT_EQ(rules[0].actions[0].duration.count(), 40);
    EXPECT_EQ(rules[0].actions[1].reply.text, "220 ready\\r\\n");

    EXPECT_EQ(rules[1].name, "step 1");
    EXPECT_EQ(rules[1].condition.kind, ConditionKind::StartsWith);
    EXPECT_EQ(rules[1].condition.value, "HELO x\\r\\n");
    EXPECT_EQ(rules[1].condition.nth, 1u);
    ASSERT_EQ(rules[1].actions.size(), 4u);
    EXPECT_EQ(rules[1].actions[0].duration.count(), 30);
    EXPECT_EQ(rules[1].actions[1].reply.text, "250 ok $$5\\r\\n");
    EXPECT_EQ(rules[1].actions[2].duration.count(), 10);
    EXPECT_EQ(rules[1].actions[3].reply.text, "\\0\\xff");

    std::vector<RuleProblem> problems;
    RuleSet::build(rules, problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(ReplayConverter::convert(recorded)[1].actions.size(), 2u);
}
