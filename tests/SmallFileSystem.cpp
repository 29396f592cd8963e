#include "SmallFileSystem.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

SmallFileSystem::SmallFileSystem(std::uint64_t bytes)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "small-fs-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        why = std::string("no folder to mount on: ") + std::strerror(errno);
        return;
    }
    folder = pattern;
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
    if (::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        why = std::string("cannot mount a tmpfs of its own (needs root): ") + std::strerror(errno);
        return;
    }
    isMounted = true;
}

SmallFileSystem::~SmallFileSystem()
{
    if (isMounted)
        ::umount2(folder.c_str(), MNT_DETACH);
    if (!folder.empty())
        ::rmdir(folder.c_str());
}

std::uint64_t SmallFileSystem::freeBytes() const
{
    struct statvfs figures{};
    if (::statvfs(folder.c_str(), &figures) != 0)
        return 0;
    return static_cast<std::uint64_t>(figures.f_bavail) * figures.f_frsize;
}

bool SmallFileSystem::fill(const std::string& name, std::uint64_t bytes) const
{
    const int fd = ::open((folder + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool made = ::posix_fallocate(fd, 0, static_cast<off_t>(bytes)) == 0;
    ::close(fd);
    return made;
}

void SmallFileSystem::remove(const std::string& name) const
{
    ::unlink((folder + "/" + name).c_str());
}
