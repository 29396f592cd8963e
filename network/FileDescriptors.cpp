#include "FileDescriptors.h"

#include <dirent.h>
#include <sys/resource.h>

namespace FileDescriptors
{
std::uint64_t raiseLimit()
{
    rlimit current{};
    if (::getrlimit(RLIMIT_NOFILE, &current) != 0)
        return 0;
    if (current.rlim_cur != current.rlim_max) {
        rlimit raised = current;
        raised.rlim_cur = raised.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            return raised.rlim_cur;
    }
    return current.rlim_cur;
}

std::uint64_t limit()
{
    rlimit current{};
    if (::getrlimit(RLIMIT_NOFILE, &current) != 0)
        return 0;
    return current.rlim_cur;
}

// The directory's own descriptor is not counted.
std::uint64_t countOpen()
{
    DIR* directory = ::opendir("/proc/self/fd");
    if (!directory)
        return 0;
    std::uint64_t count = 0;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    const int own = ::dirfd(directory);
    ::closedir(directory);
    return own >= 0 && count > 0 ? count - 1 : count;
}
}
