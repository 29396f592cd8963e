#include "KeyLogFile.h"

#include "Log.h"
#include "SafeFiles.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

std::unique_ptr<KeyLogFile> KeyLogFile::open(const std::string& path, std::string& error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = SafeFiles::fileName(path) + ": cannot be opened: " + std::generic_category().message(errno);
        return nullptr;
    }
    return std::unique_ptr<KeyLogFile>(new KeyLogFile(fd, path));
}

KeyLogFile::KeyLogFile(int fd, std::string path)
    : fd(fd)
    , path(std::move(path))
{
}

KeyLogFile::~KeyLogFile()
{
    ::close(fd);
}

// One writev per line: with O_APPEND the line lands whole at the end, even if
// another program appends to the same file.
void KeyLogFile::append(const char* line) noexcept
{
    static char lineFeed = '\n';
    iovec parts[2] = {{const_cast<char*>(line), std::strlen(line)}, {&lineFeed, 1}};
    const std::size_t total = parts[0].iov_len + 1;
    std::lock_guard<std::mutex> lock(mutex);
    ssize_t written;
    do {
        written = ::writev(fd, parts, 2);
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(total) || failureReported)
        return;
    failureReported = true;
    try {
        Log::line("TLS: the key log ", path, " cannot be written: ",
                  written < 0 ? std::generic_category().message(errno) : std::string("short write"));
    } catch (...) {
    }
}
