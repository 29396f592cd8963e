#pragma once

#include <cstdint>

// Decides whether the accept loop may take one more connection without eating
// into the descriptors kept free for the rest of the program (the windowing
// system, settings, files being sent, the sanitizers' runtime).
//
// The reserve scales with the limit: a quarter of it, at most maxReserve, so
// that a process started with a low limit still serves clients. Once paused,
// accepting waits for resumeHeadroom more, so that connections coming and
// going one by one do not pause and resume it over and over.
//
// Not thread-safe: the Server calls it under its own lock.
class DescriptorBudget
{
public:
    static constexpr std::uint64_t maxReserve = 64;

    static std::uint64_t reserveFor(std::uint64_t limit);
    static std::uint64_t resumeHeadroomFor(std::uint64_t limit);

    // True when one more connection still leaves the reserve free (while
    // paused: the reserve and the headroom); counts that connection as open.
    bool allowsAnotherConnection(bool paused);
    // Free descriptors at the last decision, and how many accepting waits
    // for once paused.
    std::uint64_t freeAtLastCheck() const { return lastFree; }
    std::uint64_t resumeLevel() const;

private:
    // Descriptors open at the last count plus the accepts allowed since:
    // closed connections are not subtracted, so it errs towards counting again.
    std::uint64_t openEstimate = 0;
    unsigned int allowedSinceCount = 0;
    std::uint64_t limit = 0;
    std::uint64_t lastFree = 0;
};
