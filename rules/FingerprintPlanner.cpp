#include "FingerprintPlanner.h"

#include <algorithm>

namespace
{
constexpr std::size_t maxWindowsTried = 32;
// Added to the cost of a window of one byte three times, and of one that
// another needle has taken whose second stage the scanner cannot tell apart.
constexpr double runPenalty = 1.0;
constexpr double sharedPenalty = 0.5;

unsigned char otherCase(unsigned char c)
{
    if (c >= 'a' && c <= 'z')
        return static_cast<unsigned char>(c - ('a' - 'A'));
    if (c >= 'A' && c <= 'Z')
        return static_cast<unsigned char>(c + ('a' - 'A'));
    return c;
}

// How much of protocol text is of each kind of byte.
double textShare(int c)
{
    if (c >= 'a' && c <= 'z')
        return 0.55 / 26;
    if (c == ' ')
        return 0.15;
    if (c >= '0' && c <= '9')
        return 0.08 / 10;
    if (c >= 'A' && c <= 'Z')
        return 0.08 / 26;
    if (c == '\r' || c == '\n')
        return 0.03;
    return c > ' ' && c < 0x7f ? 0.08 / 32 : 0;
}
}

FingerprintPlanner::FingerprintPlanner()
{
    for (int c = 0; c < 256; ++c)
        byteWeight[c] = 0.5 / 256 + 0.5 * textShare(c);
}

std::vector<FingerprintPlanner::Choice> FingerprintPlanner::plan(const std::vector<std::string>& needles,
                                                                 const std::vector<bool>& ignoreCase)
{
    FingerprintPlanner planner;
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < needles.size(); ++i)
        if (needles[i].size() >= width)
            order.push_back(i);
    // Needles with the fewest windows first, while the buckets are still narrow.
    std::stable_sort(order.begin(), order.end(),
                     [&needles](std::size_t a, std::size_t b) { return needles[a].size() < needles[b].size(); });
    std::vector<Choice> choices(needles.size());
    for (const std::size_t i : order) {
        choices[i] = planner.place(needles[i], ignoreCase[i]);
        const auto* window = reinterpret_cast<const unsigned char*>(needles[i].data()) + choices[i].offset;
        NibbleSets& sets = planner.bucketSets[choices[i].bucket];
        sets = joined(sets, setsOf(window, ignoreCase[i]));
        planner.taken.push_back(stageOf(needles[i], choices[i].offset));
        planner.bucketRates[choices[i].bucket] = planner.passRate(sets);
    }
    return choices;
}

FingerprintPlanner::Choice FingerprintPlanner::place(const std::string& needle, bool ignoreCase) const
{
    Choice best;
    double bestCost = -1;
    const std::size_t windows = needle.size() - width + 1;
    const std::size_t stride = (windows + maxWindowsTried - 1) / maxWindowsTried;
    for (std::size_t offset = 0; offset < windows; offset += stride) {
        const auto* window = reinterpret_cast<const unsigned char*>(needle.data()) + offset;
        const NibbleSets sets = setsOf(window, ignoreCase);
        const bool run = window[0] == window[1] && window[1] == window[2];
        const bool shared = clashes(needle, offset);
        for (int bucket = 0; bucket < buckets; ++bucket) {
            const double cost = passRate(joined(bucketSets[bucket], sets)) - bucketRates[bucket]
                + (run ? runPenalty : 0) + (shared ? sharedPenalty : 0);
            if (bestCost < 0 || cost < bestCost) {
                bestCost = cost;
                best = Choice{offset, bucket};
            }
        }
    }
    return best;
}

FingerprintFilter::Stage FingerprintPlanner::stageOf(const std::string& needle, std::size_t offset)
{
    return FingerprintFilter::stageOf(reinterpret_cast<const unsigned char*>(needle.data()), needle.size(), offset);
}

std::uint64_t FingerprintPlanner::windowOf(const FingerprintFilter::Stage& stage)
{
    const std::size_t shift = stage.check == FingerprintFilter::Check::Lead ? 8 * FingerprintFilter::lead : 0;
    return stage.value >> shift & 0xffffff;
}

// Whether a needle taken already has a window at which the scanner could not
// tell it from this one before comparing: the same second stage, or either
// needle too short to have one.
bool FingerprintPlanner::clashes(const std::string& needle, std::size_t offset) const
{
    const FingerprintFilter::Stage stage = stageOf(needle, offset);
    const std::uint64_t window = windowOf(stage);
    for (const FingerprintFilter::Stage& other : taken) {
        const bool unbound = stage.check == FingerprintFilter::Check::Unbound
            || other.check == FingerprintFilter::Check::Unbound;
        if (other == stage || (unbound && windowOf(other) == window))
            return true;
    }
    return false;
}

FingerprintPlanner::NibbleSets FingerprintPlanner::setsOf(const unsigned char* window, bool ignoreCase)
{
    NibbleSets sets;
    for (std::size_t k = 0; k < width; ++k) {
        for (const unsigned char c : {window[k], ignoreCase ? otherCase(window[k]) : window[k]}) {
            sets.low[k] |= static_cast<std::uint16_t>(1u << (c & 0x0f));
            sets.high[k] |= static_cast<std::uint16_t>(1u << (c >> 4));
        }
    }
    return sets;
}

FingerprintPlanner::NibbleSets FingerprintPlanner::joined(const NibbleSets& a, const NibbleSets& b)
{
    NibbleSets sets;
    for (std::size_t k = 0; k < width; ++k) {
        sets.low[k] = a.low[k] | b.low[k];
        sets.high[k] = a.high[k] | b.high[k];
    }
    return sets;
}

double FingerprintPlanner::passRate(const NibbleSets& sets) const
{
    double rate = 1;
    for (std::size_t k = 0; k < width; ++k) {
        double share = 0;
        for (unsigned high = sets.high[k]; high != 0; high &= high - 1)
            for (unsigned low = sets.low[k]; low != 0; low &= low - 1)
                share += byteWeight[__builtin_ctz(high) << 4 | __builtin_ctz(low)];
        rate *= share;
    }
    return rate;
}
