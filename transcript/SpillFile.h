#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The temporary file behind one transcript. It is created on the first write,
// without a name (O_TMPFILE, or a name removed at once where the file system
// cannot do that), so that nothing is left behind even after a crash, and it
// goes away when closed.
//
// One thread writes at a time; reads of parts already written may run on
// other threads meanwhile, once they learnt (through a lock) that those parts
// are written.
class SpillFile
{
public:
    explicit SpillFile(std::string directory); // empty: $TMPDIR or /tmp
    ~SpillFile();

    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;

    struct WriteResult
    {
        std::size_t written; // the bytes now in the file, from offset on
        int error;           // 0, or the errno of what failed (creating the file, or writing)
    };
    // Writes all of data unless something fails; then written says how much
    // went in before.
    WriteResult write(const char* data, std::size_t size, std::uint64_t offset);
    // The count of bytes read: fewer than size only when reading fails.
    std::size_t read(char* data, std::size_t size, std::uint64_t offset) const;
    // Gives the space of bytes no longer needed back to the file system (a
    // hole that reads as zeros); false when nothing was given back (no file
    // yet, or a file system that cannot).
    bool release(std::uint64_t offset, std::uint64_t size);

private:
    int open();

    const std::string directory;
    int fd = -1;
};
