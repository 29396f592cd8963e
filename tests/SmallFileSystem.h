#pragma once

#include <cstdint>
#include <string>

// A file system of a few MiB of this test's own: a tmpfs mounted on a fresh
// folder, so that a test can fill it without touching the machine's disks.
// Mounting needs root (CAP_SYS_ADMIN), as the test suite has in CI; where it
// fails, reason() says why and the test skips.
class SmallFileSystem
{
public:
    explicit SmallFileSystem(std::uint64_t bytes);
    ~SmallFileSystem(); // unmounts, then removes the folder

    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return isMounted; }
    const std::string& reason() const { return why; }
    const std::string& path() const { return folder; }
    // What an ordinary program may still write there.
    std::uint64_t freeBytes() const;
    // A file of that many bytes, taking their space; false if it could not be made.
    bool fill(const std::string& name, std::uint64_t bytes) const;
    void remove(const std::string& name) const;

private:
    std::string folder;
    std::string why;
    bool isMounted = false;
};
