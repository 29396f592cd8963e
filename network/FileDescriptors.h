#pragma once

#include <cstdint>

// This process's file descriptors: its limit and how many are open.
namespace FileDescriptors
{
// Raises the soft RLIMIT_NOFILE to the hard limit, which needs no privilege,
// and returns the limit then in force (0 if it cannot be read).
std::uint64_t raiseLimit();

// The soft RLIMIT_NOFILE: no descriptor at or above it can be opened.
std::uint64_t limit();

// The descriptors open now, counted in /proc/self/fd (one system call per few
// hundred descriptors); 0 if that cannot be read.
std::uint64_t countOpen();
}
