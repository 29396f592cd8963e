#include "FileSink.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

std::unique_ptr<FileSink> FileSink::create(const std::string& path, std::string& error)
{
    if (path == "-")
        return std::unique_ptr<FileSink>(new FileSink(STDOUT_FILENO, false));
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<FileSink>(new FileSink(fd, true));
}

FileSink::FileSink(int fd, bool owned)
    : fd(fd)
    , owned(owned)
{
}

FileSink::~FileSink()
{
    if (owned)
        ::close(fd);
}

bool FileSink::write(const char* data, std::size_t size)
{
    if (isBroken)
        return false;
    if (!pending.empty() && !retry()) {
        keep(data, size);
        return false;
    }
    const std::size_t written = writeOut(data, size);
    if (written == size)
        return true;
    keep(data + written, size - written);
    return false;
}

bool FileSink::retry()
{
    if (isBroken)
        return false;
    const std::size_t written = writeOut(pending.data(), pending.size());
    pending.erase(0, written);
    if (pending.empty())
        std::string().swap(pending);
    return pending.empty();
}

std::size_t FileSink::writeOut(const char* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t written = ::write(fd, data + done, size - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            failure = written < 0 ? std::strerror(errno) : "the file takes no more bytes";
            isBroken = written < 0 && (errno == EPIPE || errno == EBADF || errno == EINVAL);
            break;
        }
        done += static_cast<std::size_t>(written);
    }
    return done;
}

void FileSink::keep(const char* data, std::size_t size)
{
    const std::size_t room = pendingLimit - std::min(pendingLimit, pending.size());
    pending.append(data, std::min(room, size));
    droppedBytes += size - std::min(room, size);
}
