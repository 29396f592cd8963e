#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// What the rules did on one connection, written on its strand and readable
// from any thread.
class RuleCounters
{
public:
    explicit RuleCounters(std::size_t ruleCount);

    std::size_t ruleCount() const { return count; }
    // How many times a rule fired (Passed matches of an Nth-time rule are not hits).
    std::uint64_t hits(std::size_t rule) const;
    // Received bytes that matched nothing: skipped before a match, dropped
    // beyond the buffer's limit, or left over when the connection closed.
    std::uint64_t unmatchedBytes() const { return unmatched.load(std::memory_order_relaxed); }
    // Received bytes not yet consumed by a match.
    std::uint64_t waitingBytes() const { return waiting.load(std::memory_order_relaxed); }

    void addHit(std::size_t rule);
    void setBytes(std::uint64_t unmatchedNow, std::uint64_t waitingNow);

private:
    std::size_t count;
    std::unique_ptr<std::atomic<std::uint64_t>[]> ruleHits;
    std::atomic<std::uint64_t> unmatched{0};
    std::atomic<std::uint64_t> waiting{0};
};
