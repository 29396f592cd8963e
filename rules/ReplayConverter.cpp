#include "ReplayConverter.h"

#include "RuleSet.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace
{
std::string replyText(const std::string& bytes)
{
    std::string text;
    for (const char c : ReplayConverter::escape(bytes)) {
        text += c;
        if (c == '$')
            text += '$';
    }
    return text;
}
}

std::vector<Rule> ReplayConverter::convert(const std::vector<RecordedChunk>& conversation)
{
    return convert(conversation, Options());
}

std::vector<Rule> ReplayConverter::convert(const std::vector<RecordedChunk>& conversation, const Options& options)
{
    std::vector<Step> steps = stepsOf(conversation);
    std::string allReceived;
    for (const Step& step : steps)
        allReceived += step.received;
    std::vector<Rule> rules;
    std::size_t stepNumber = 0;
    for (const Step& step : steps) {
        if (step.replies.empty())
            continue;
        Rule rule;
        rule.name = step.received.empty() ? "greeting" : "step " + std::to_string(++stepNumber);
        rule.condition = conditionFor(step, allReceived, options);
        addReplies(rule, step, options);
        rules.push_back(std::move(rule));
    }
    if (options.closeSendingAtEnd && !rules.empty()) {
        Action close;
        close.kind = ActionKind::CloseSending;
        rules.back().actions.push_back(close);
    }
    return rules;
}

std::vector<ReplayConverter::Step> ReplayConverter::stepsOf(const std::vector<RecordedChunk>& conversation)
{
    std::vector<Step> steps(1);
    std::size_t receivedSoFar = 0;
    for (const RecordedChunk& chunk : conversation) {
        if (chunk.direction == RecordedChunk::Direction::Sent) {
            steps.back().replies.push_back(&chunk);
            continue;
        }
        if (!steps.back().replies.empty())
            steps.emplace_back();
        Step& step = steps.back();
        step.received += chunk.bytes;
        receivedSoFar += chunk.bytes.size();
        step.receivedEnd = receivedSoFar;
        step.lastReceivedUs = chunk.timeUs;
    }
    return steps;
}

Condition ReplayConverter::conditionFor(const Step& step, const std::string& allReceived, const Options& options)
{
    Condition condition;
    if (step.received.empty()) {
        condition.onConnect = true;
        return condition;
    }
    condition.nth = 1;
    condition.mode = InputMode::Escapes;
    if (step.received.size() <= options.exactLimit) {
        condition.kind = ConditionKind::StartsWith;
        condition.value = escape(step.received);
    } else {
        condition.kind = ConditionKind::Contains;
        condition.value = escape(distinctiveSuffix(step, allReceived, options));
    }
    return condition;
}

std::string ReplayConverter::distinctiveSuffix(const Step& step, const std::string& allReceived,
                                               const Options& options)
{
    // A byte may take four characters (\xHH) in the rule's value.
    const std::size_t longest = std::min(step.received.size(), RuleSet::maxPatternLength / 4);
    std::size_t length = std::min(std::max<std::size_t>(options.minSuffix, 1), longest);
    for (;; length = std::min(length * 2, longest)) {
        const std::size_t start = step.receivedEnd - length;
        const std::string suffix = allReceived.substr(start, length);
        if (allReceived.find(suffix) == start || length == longest)
            return suffix;
    }
}

void ReplayConverter::addReplies(Rule& rule, const Step& step, const Options& options)
{
    std::uint64_t previousUs = step.lastReceivedUs;
    for (const RecordedChunk* chunk : step.replies) {
        const std::uint64_t gapMs = chunk->timeUs > previousUs ? (chunk->timeUs - previousUs) / 1000 : 0;
        previousUs = chunk->timeUs;
        if (options.keepTiming && gapMs > 0) {
            Action wait;
            wait.kind = ActionKind::Wait;
            wait.duration = std::min<std::chrono::milliseconds>(std::chrono::milliseconds(gapMs), RuleSet::maxDuration);
            rule.actions.push_back(wait);
        }
        Action reply;
        reply.kind = ActionKind::Reply;
        reply.reply.text = replyText(chunk->bytes);
        reply.reply.mode = InputMode::Escapes;
        rule.actions.push_back(std::move(reply));
    }
}

std::string ReplayConverter::escape(const std::string& bytes)
{
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\r': text += "\\r"; continue;
        case '\n': text += "\\n"; continue;
        case '\t': text += "\\t"; continue;
        case '\0': text += "\\0"; continue;
        case '\\': text += "\\\\"; continue;
        default: break;
        }
        if (byte >= 0x20 && byte < 0x7f) {
            text += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            text += hex;
        }
    }
    return text;
}
