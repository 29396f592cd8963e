#pragma once

#include "Transcript.h"

#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace TranscriptTestSupport
{
// A fresh folder under the system's temporary one, removed with its content.
class ScratchDirectory
{
public:
    ScratchDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "transcript-test-XXXXXX").string();
        path = ::mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~ScratchDirectory() { std::filesystem::remove_all(path); }
    bool isEmpty() const { return std::filesystem::is_empty(path); }
    std::string file(const std::string& name) const { return path + "/" + name; }

    std::string path;
};

// Lowers the largest file this process may write (RLIMIT_FSIZE) so that writes
// past it fail with EFBIG, as on a full disk; SIGXFSZ is ignored meanwhile.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved);
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved;
        lowered.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() { lift(); }
    void lift()
    {
        if (lifted)
            return;
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
        lifted = true;
    }

private:
    rlimit saved{};
    void (*previousHandler)(int) = nullptr;
    bool lifted = false;
};

inline std::string fileContent(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The transcript as it would read: "R:bytes", "S:bytes" and "E:text" for
// every event with a text, in order.
inline std::vector<std::string> record(const Transcript& transcript)
{
    std::vector<std::string> entries;
    std::size_t nextEvent = 0;
    const auto eventsUpTo = [&](std::size_t chunks) {
        for (; nextEvent < transcript.eventCount() && transcript.event(nextEvent).chunksBefore <= chunks; ++nextEvent)
            if (!transcript.event(nextEvent).text.empty())
                entries.push_back("E:" + transcript.event(nextEvent).text);
    };
    for (std::size_t i = 0; i < transcript.chunkCount(); ++i) {
        eventsUpTo(i);
        const Chunk chunk = transcript.chunk(i);
        std::string bytes;
        transcript.read(chunk.offset, chunk.length, bytes);
        entries.push_back((chunk.direction == Direction::Received ? "R:" : "S:") + bytes);
    }
    eventsUpTo(transcript.chunkCount());
    return entries;
}
}
