#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// Reading and writing the small files that hold certificates and keys. Every
// problem comes back as a short text without the file's name, for the caller
// to put after it ("server.pem: cannot be read: Permission denied").
namespace SafeFiles
{
// The last component of a path, for messages.
std::string fileName(const std::string& path);

// Reads a whole regular file of at most maxSize bytes, without waiting on
// anything that is not one.
bool readSmallFile(const std::string& path, std::size_t maxSize, std::string& contents, std::string& problem);

// Writes contents to a new file created with the given mode from the start
// (O_CREAT | O_EXCL), then renames it over path: readers see the old file or
// the complete new one, and the new one is never more readable than mode.
bool writeReplacing(const std::string& path, const std::string& contents, mode_t mode, std::string& problem);

// Creates the folder (mode 0700) and any missing parents.
bool ensureFolder(const std::string& path, std::string& problem);
}
