#include "SpillFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace
{
// The most one pwrite takes. The kernel backs a large aligned write with
// large page-cache folios, and on a virtual machine those often come from
// memory that is slow to touch again: whole 1 MiB blocks cost several times
// the CPU of the same bytes in quarter-MiB writes.
constexpr std::size_t writePiece = 256 * 1024;

std::string usableDirectory(std::string directory)
{
    if (!directory.empty())
        return directory;
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}
}

SpillFile::SpillFile(std::string directory)
    : directory(usableDirectory(std::move(directory)))
{
}

SpillFile::~SpillFile()
{
    if (fd >= 0)
        ::close(fd);
}

int SpillFile::open()
{
    fd = ::open(directory.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
    if (fd >= 0)
        return 0;
    std::string path = directory + "/brindlewick-transcript-XXXXXX";
    fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    ::unlink(path.c_str());
    return 0;
}

SpillFile::WriteResult SpillFile::write(const char* data, std::size_t size, std::uint64_t offset)
{
    if (fd < 0) {
        if (const int error = open())
            return WriteResult{0, error};
    }
    std::size_t done = 0;
    while (done < size) {
        const ssize_t written = ::pwrite(fd, data + done, std::min(size - done, writePiece),
                                         static_cast<off_t>(offset + done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return WriteResult{done, errno};
        if (written == 0)
            return WriteResult{done, ENOSPC};
        done += static_cast<std::size_t>(written);
    }
    return WriteResult{done, 0};
}

std::size_t SpillFile::read(char* data, std::size_t size, std::uint64_t offset) const
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, data + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

bool SpillFile::release(std::uint64_t offset, std::uint64_t size)
{
    if (fd < 0 || size == 0)
        return false;
    return ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                       static_cast<off_t>(size)) == 0;
}
