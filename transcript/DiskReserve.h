#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

// How much free space the transcripts leave on their file system: the larger
// of minimumFree and fractionFree of its size.
struct ReservePolicy
{
    std::uint64_t minimumFree = std::uint64_t(2) * 1024 * 1024 * 1024;
    double fractionFree = 0.05;
    // A measurement older than this is taken again before a write, so that
    // space other programs use or give back is seen.
    std::chrono::milliseconds maximumAge{1000};
    // Measurements are never taken more often than this, however many
    // transcripts ask.
    std::chrono::milliseconds minimumInterval{20};
};

// Keeps a reserve of free space on the file system of one folder, shared by
// every transcript that writes there. Between measurements (statvfs) it counts
// down what it let the transcripts write, so a write is refused before it
// would eat into the reserve without a system call per write. Any thread.
class DiskReserve
{
public:
    explicit DiskReserve(std::string directory, ReservePolicy policy = ReservePolicy());

    // Whether size more bytes may be written; if so they are counted as
    // written. A folder that cannot be measured refuses nothing: the write
    // then fails with its own reason.
    bool admit(std::uint64_t size);
    // Space a transcript gave back (bytes it dropped), counted as free until
    // the next measurement.
    void released(std::uint64_t size);

    const std::string& directory() const { return folder; }
    // The reserve as last measured, 0 before the first measurement.
    std::uint64_t reserveBytes() const;
    // Why a write was refused, for people: "less than 2.0 GiB free in /tmp".
    std::string refusal() const;

private:
    using Clock = std::chrono::steady_clock;

    bool measure(Clock::time_point now);

    const std::string folder;
    const ReservePolicy policy;

    mutable std::mutex mutex;
    bool measured = false;
    Clock::time_point measuredAt;
    std::uint64_t freeBytes = 0; // as measured, less what was admitted since
    std::uint64_t reserve = 0;
};
