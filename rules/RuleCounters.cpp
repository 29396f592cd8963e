#include "RuleCounters.h"

RuleCounters::RuleCounters(std::size_t ruleCount)
    : count(ruleCount)
    , ruleHits(new std::atomic<std::uint64_t>[ruleCount])
{
    for (std::size_t rule = 0; rule < count; ++rule)
        ruleHits[rule].store(0, std::memory_order_relaxed);
}

std::uint64_t RuleCounters::hits(std::size_t rule) const
{
    return rule < count ? ruleHits[rule].load(std::memory_order_relaxed) : 0;
}

void RuleCounters::addHit(std::size_t rule)
{
    ruleHits[rule].fetch_add(1, std::memory_order_relaxed);
}

void RuleCounters::setBytes(std::uint64_t unmatchedNow, std::uint64_t waitingNow)
{
    unmatched.store(unmatchedNow, std::memory_order_relaxed);
    waiting.store(waitingNow, std::memory_order_relaxed);
}
