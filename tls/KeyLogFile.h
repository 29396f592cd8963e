#pragma once

#include <memory>
#include <mutex>
#include <string>

// The file a TLS key log goes to, in the SSLKEYLOGFILE format that Wireshark
// reads: one line per secret, appended. Created readable by its owner only
// (0600); an existing file is appended to as it is. Lines come from both IO
// threads, each written whole.
class KeyLogFile
{
public:
    // Nothing when the file cannot be opened; error then names it and says why.
    static std::unique_ptr<KeyLogFile> open(const std::string& path, std::string& error);
    ~KeyLogFile();

    KeyLogFile(const KeyLogFile&) = delete;
    KeyLogFile& operator=(const KeyLogFile&) = delete;

    // Appends line and a line feed. Never throws: it runs inside OpenSSL's
    // handshake on an IO thread.
    void append(const char* line) noexcept;

private:
    KeyLogFile(int fd, std::string path);

    int fd;
    std::string path;
    std::mutex mutex;
    bool failureReported = false;
};
