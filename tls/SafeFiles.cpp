#include "SafeFiles.h"

#include <openssl/rand.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace SafeFiles
{
namespace
{
std::string systemReason(int error)
{
    return std::generic_category().message(error);
}

std::string randomSuffix()
{
    unsigned char bytes[8] = {};
    RAND_bytes(bytes, sizeof bytes);
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

bool writeAll(int fd, const std::string& contents)
{
    std::size_t done = 0;
    while (done < contents.size()) {
        const ssize_t written = ::write(fd, contents.data() + done, contents.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// A fresh file next to path, opened for writing; its name goes to temporary.
int createTemporary(const std::string& path, mode_t mode, std::string& temporary)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        temporary = path + ".new-" + randomSuffix();
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}
}

std::string fileName(const std::string& path)
{
    const std::string name = std::filesystem::path(path).filename().string();
    return name.empty() ? path : name;
}

// Opening does not wait (a FIFO would wait for a writer) and only regular
// files with a size are read: the files under /proc claim no size and some
// of them never end, and a file is read on the GUI thread when chosen.
bool readSmallFile(const std::string& path, std::size_t maxSize, std::string& contents, std::string& problem)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        problem = "cannot be read: " + systemReason(errno);
        return false;
    }
    struct stat status;
    std::string refusal;
    if (::fstat(fd, &status) != 0)
        refusal = "cannot be read: " + systemReason(errno);
    else if (!S_ISREG(status.st_mode))
        refusal = "is not a regular file";
    else if (status.st_size == 0)
        refusal = "is empty";
    if (!refusal.empty()) {
        ::close(fd);
        problem = refusal;
        return false;
    }
    contents.clear();
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            problem = "cannot be read: " + systemReason(errno);
            break;
        }
        if (got == 0) {
            ::close(fd);
            return true;
        }
        if (contents.size() + static_cast<std::size_t>(got) > maxSize) {
            problem = "is too large (more than " + std::to_string(maxSize / 1024) + " KiB)";
            break;
        }
        contents.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return false;
}

bool writeReplacing(const std::string& path, const std::string& contents, mode_t mode, std::string& problem)
{
    std::string temporary;
    const int fd = createTemporary(path, mode, temporary);
    if (fd < 0) {
        problem = "cannot be created: " + systemReason(errno);
        return false;
    }
    const bool written = writeAll(fd, contents) && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        problem = "cannot be written: " + systemReason(written ? errno : writeError);
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        problem = "cannot be replaced: " + systemReason(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool ensureFolder(const std::string& path, std::string& problem)
{
    std::error_code error;
    const std::filesystem::path folder(path);
    if (std::filesystem::is_directory(folder, error))
        return true;
    if (folder.has_parent_path())
        std::filesystem::create_directories(folder.parent_path(), error);
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = "cannot be created: " + systemReason(errno);
        return false;
    }
    if (!std::filesystem::is_directory(folder, error)) {
        problem = "is not a folder";
        return false;
    }
    return true;
}
}
