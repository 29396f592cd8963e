#include "DescriptorBudget.h"

#include "FileDescriptors.h"

#include <algorithm>

namespace
{
// Counting the open descriptors reads /proc/self/fd, which costs more the
// more are open. Far from the limit an estimate does; it is made exact every
// so many accepts, and before every accept once it comes this close to the
// reserve.
constexpr unsigned int acceptsBetweenCounts = 1024;
constexpr std::uint64_t countingMargin = 256;
}

std::uint64_t DescriptorBudget::reserveFor(std::uint64_t limit)
{
    return std::min(maxReserve, limit / 4);
}

std::uint64_t DescriptorBudget::resumeHeadroomFor(std::uint64_t limit)
{
    return reserveFor(limit) / 2;
}

std::uint64_t DescriptorBudget::resumeLevel() const
{
    return reserveFor(limit) + resumeHeadroomFor(limit) + 1;
}

bool DescriptorBudget::allowsAnotherConnection(bool paused)
{
    limit = FileDescriptors::limit();
    if (limit == 0)
        return true;
    const std::uint64_t kept = reserveFor(limit) + (paused ? resumeHeadroomFor(limit) : 0);
    if (openEstimate == 0 || ++allowedSinceCount >= acceptsBetweenCounts
        || openEstimate + kept + countingMargin >= limit) {
        // The count's own directory descriptor is in use while it counts, and
        // counting goes on while paused: reckon with it, so the reserve stays
        // whole even then.
        openEstimate = FileDescriptors::countOpen() + 1;
        allowedSinceCount = 0;
    }
    lastFree = openEstimate < limit ? limit - openEstimate : 0;
    if (lastFree <= kept)
        return false;
    ++openEstimate;
    return true;
}
