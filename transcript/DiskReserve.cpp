#include "DiskReserve.h"

#include "NumberText.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cstdlib>

namespace
{
constexpr std::uint64_t pageSize = 4096;

std::string usableDirectory(std::string directory)
{
    if (!directory.empty())
        return directory;
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}
}

DiskReserve::DiskReserve(std::string directory, ReservePolicy policy)
    : folder(usableDirectory(std::move(directory)))
    , policy(policy)
{
}

// A write may also fill the rest of the file's last page: that page is
// counted as taken.
bool DiskReserve::admit(std::uint64_t bytes)
{
    const std::uint64_t size = bytes + pageSize;
    std::lock_guard<std::mutex> lock(mutex);
    const Clock::time_point now = Clock::now();
    const bool stale = !measured || now - measuredAt >= policy.maximumAge;
    const bool tight = measured && freeBytes < reserve + size;
    if ((stale || tight) && (!measured || now - measuredAt >= policy.minimumInterval) && !measure(now))
        return true;
    if (freeBytes < reserve + size)
        return false;
    freeBytes -= size;
    return true;
}

void DiskReserve::released(std::uint64_t size)
{
    std::lock_guard<std::mutex> lock(mutex);
    freeBytes += size;
}

// Free space counts what an ordinary program may use (f_bavail): the blocks
// kept for root are no reserve of ours.
bool DiskReserve::measure(Clock::time_point now)
{
    struct statvfs figures{};
    if (::statvfs(folder.c_str(), &figures) != 0) {
        measured = false;
        return false;
    }
    const std::uint64_t unit = figures.f_frsize ? figures.f_frsize : figures.f_bsize;
    const auto total = static_cast<double>(figures.f_blocks) * static_cast<double>(unit);
    reserve = std::max(policy.minimumFree, static_cast<std::uint64_t>(total * policy.fractionFree));
    freeBytes = static_cast<std::uint64_t>(figures.f_bavail) * unit;
    measured = true;
    measuredAt = now;
    return true;
}

std::uint64_t DiskReserve::reserveBytes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return reserve;
}

std::string DiskReserve::refusal() const
{
    return "less than " + byteSize(reserveBytes()) + " free in " + folder;
}
