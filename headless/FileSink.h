#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// A file written as things happen. What the system does not take (a full
// disk, a file size limit) waits in memory, up to pendingLimit, and goes out
// with retry(); anything beyond the limit is dropped and counted. A reader
// that went away (a closed pipe) ends the writing for good.
class FileSink
{
public:
    static constexpr std::size_t pendingLimit = 4 * 1024 * 1024;

    // "-" is standard output. Returns null with error set when the file cannot be made.
    static std::unique_ptr<FileSink> create(const std::string& path, std::string& error);
    ~FileSink();

    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    // Writes what it can and keeps the rest; false when anything waits.
    bool write(const char* data, std::size_t size);
    // Writes what waits; true once nothing does.
    bool retry();
    bool waiting() const { return !pending.empty(); }
    bool broken() const { return isBroken; }
    std::uint64_t dropped() const { return droppedBytes; }
    // Why the last write failed.
    const std::string& error() const { return failure; }

private:
    FileSink(int fd, bool owned);

    // Returns how many bytes went out.
    std::size_t writeOut(const char* data, std::size_t size);
    void keep(const char* data, std::size_t size);

    const int fd;
    const bool owned;
    std::string pending;
    std::uint64_t droppedBytes = 0;
    bool isBroken = false;
    std::string failure;
};
