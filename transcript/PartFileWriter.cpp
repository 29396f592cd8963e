#include "PartFileWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace
{
constexpr std::size_t gatherSize = 1024 * 1024;
}

PartFileWriter::PartFileWriter(std::string path)
    : path(std::move(path))
    , partPath(this->path + ".part")
{
}

PartFileWriter::~PartFileWriter()
{
    discard();
}

bool PartFileWriter::open()
{
    fd = ::open(partPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return fail(errno);
    created = true;
    buffer.reserve(gatherSize);
    return true;
}

bool PartFileWriter::write(const char* data, std::size_t size)
{
    if (buffer.size() + size > gatherSize && !flush())
        return false;
    if (size >= gatherSize)
        return writeOut(data, size);
    buffer.append(data, size);
    return true;
}

bool PartFileWriter::flush()
{
    if (!writeOut(buffer.data(), buffer.size()))
        return false;
    buffer.clear();
    return true;
}

bool PartFileWriter::writeOut(const char* data, std::size_t left)
{
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return fail(errno);
        if (written == 0)
            return fail(ENOSPC);
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

bool PartFileWriter::commit()
{
    if (!flush())
        return false;
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0)
        return fail(errno);
    if (std::rename(partPath.c_str(), path.c_str()) != 0)
        return fail(errno);
    created = false;
    return true;
}

bool PartFileWriter::fail(int error)
{
    failure = std::generic_category().message(error);
    discard();
    return false;
}

void PartFileWriter::discard()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    if (created)
        ::unlink(partPath.c_str());
    created = false;
}
