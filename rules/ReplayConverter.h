#pragma once

#include "RecordedChunk.h"
#include "Rule.h"

#include <cstddef>
#include <string>
#include <vector>

// Makes rules that answer a new client the way a recorded server did.
//
// What the server sent before it received anything becomes a rule on a new
// connection ("greeting"). Every later part the client sent (its bytes up to
// the next reply) becomes a rule ("step N") that fires once, on the first
// match, and sends the replies that followed it, chunk by chunk. A part of up
// to exactLimit bytes is matched by all its bytes at the start of what is
// unconsumed (starts_with). A longer one is matched by the shortest suffix of
// at least minSuffix bytes that occurs nowhere earlier in what the client
// sent (contains): it fires when the end of the part arrives and consumes
// the whole part, its beginning counted as unmatched. Bytes are written in
// the escapes mode, printable ones as they are.
//
// The rules fire in the recorded order as long as the client sends the same
// bytes and no later part is the beginning of an earlier one.
class ReplayConverter
{
public:
    struct Options
    {
        // Waits before each reply as long as the recorded server took.
        bool keepTiming = false;
        // Ends the server's sending after the last reply.
        bool closeSendingAtEnd = false;
        std::size_t exactLimit = 4096;
        std::size_t minSuffix = 16;
    };

    static std::vector<Rule> convert(const std::vector<RecordedChunk>& conversation, const Options& options);
    static std::vector<Rule> convert(const std::vector<RecordedChunk>& conversation);

    // Bytes as escapes-mode text: \r \n \t \0 \\ and \xHH for what is not
    // printable ASCII.
    static std::string escape(const std::string& bytes);

private:
    struct Step
    {
        std::string received;
        std::size_t receivedEnd = 0;
        std::uint64_t lastReceivedUs = 0;
        std::vector<const RecordedChunk*> replies;
    };

    static std::vector<Step> stepsOf(const std::vector<RecordedChunk>& conversation);
    static Condition conditionFor(const Step& step, const std::string& allReceived, const Options& options);
    static std::string distinctiveSuffix(const Step& step, const std::string& allReceived, const Options& options);
    static void addReplies(Rule& rule, const Step& step, const Options& options);
};
