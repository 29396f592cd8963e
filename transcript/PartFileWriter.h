#pragma once

#include <cstddef>
#include <string>

// Writes a file under the name path + ".part" and renames it to path only once
// every byte is in, so that a failed save (disk full) leaves whatever the user
// had at path untouched. Writes are gathered into large ones.
class PartFileWriter
{
public:
    explicit PartFileWriter(std::string path);
    ~PartFileWriter(); // removes the .part file unless committed

    PartFileWriter(const PartFileWriter&) = delete;
    PartFileWriter& operator=(const PartFileWriter&) = delete;

    bool open();
    bool write(const char* data, std::size_t size);
    bool write(const std::string& text) { return write(text.data(), text.size()); }
    bool commit();

    // Why the last call failed, as the system says it ("No space left on device").
    const std::string& error() const { return failure; }

private:
    bool flush();
    bool writeOut(const char* data, std::size_t size);
    bool fail(int error);
    void discard();

    const std::string path;
    const std::string partPath;
    std::string buffer;
    int fd = -1;
    bool created = false;
    std::string failure;
};
