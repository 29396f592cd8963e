#pragma once

#include "FingerprintFilter.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Chooses, for each needle of LiteralScanner (three bytes or more), which
// three of its consecutive bytes are checked first and which of the eight
// buckets it shares, so that as few positions as possible pass that check.
// A bucket passes a byte whose low and high nibbles both occur at that place
// among its needles, so needles are placed greedily where they widen their
// bucket's sets least, weighed by how often bytes occur: half as in random
// bytes, half as in protocol text. A window of one byte three times is taken
// only if there is no other, as floods are often one byte over and over, and
// so is one that another needle has taken if the scanner could not tell the
// two apart before comparing them (see FingerprintFilter): once one of them
// is found, the scanner stops looking at its window only if it can.
class FingerprintPlanner
{
public:
    static constexpr std::size_t width = FingerprintFilter::width;
    static constexpr int buckets = 8;

    struct Choice
    {
        std::size_t offset = 0;
        int bucket = 0;
    };

    // ignoreCase[i]: the ith needle's ASCII letters match either case.
    static std::vector<Choice> plan(const std::vector<std::string>& needles, const std::vector<bool>& ignoreCase);

private:
    // The nibbles at each place of a bucket's windows, a bit each.
    struct NibbleSets
    {
        std::uint16_t low[width] = {};
        std::uint16_t high[width] = {};
    };

    explicit FingerprintPlanner();

    static FingerprintFilter::Stage stageOf(const std::string& needle, std::size_t offset);
    // The three window bytes in a second stage's value.
    static std::uint64_t windowOf(const FingerprintFilter::Stage& stage);
    bool clashes(const std::string& needle, std::size_t offset) const;
    static NibbleSets setsOf(const unsigned char* window, bool ignoreCase);
    static NibbleSets joined(const NibbleSets& a, const NibbleSets& b);
    double passRate(const NibbleSets& sets) const;
    Choice place(const std::string& needle, bool ignoreCase) const;

    double byteWeight[256] = {};
    NibbleSets bucketSets[buckets];
    double bucketRates[buckets] = {};
    std::vector<FingerprintFilter::Stage> taken;
};
