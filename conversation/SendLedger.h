#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// One entry per send of a connection: what was handed to it, how much of it
// has gone out and how it ended. Entries are made before the send can
// report anything, and written by the connection's IO side in the order its
// writes happen, so a result never comes before the bytes it is about.
class SendLedger
{
public:
    enum class Kind { Bytes, Pieces, File };
    enum class State { Queued, Written, Failed };

    struct Entry
    {
        std::uint64_t id = 0;
        Kind kind = Kind::Bytes;
        State state = State::Queued;
        std::uint64_t size = 0;    // what it was to send, a file's header included
        std::uint64_t written = 0; // what went out
        std::string reason;        // why it failed
        // Pieces: their size and the pause between them.
        std::size_t pieceSize = 0;
        std::chrono::milliseconds delay{0};
        // File: its name, its size when it was queued and its header's.
        std::string fileName;
        std::uint64_t fileSize = 0;
        std::uint64_t headerSize = 0;
        // Bytes and Pieces: the start of what was to go out, shown if it does not.
        std::string preview;
    };

    // Finished entries kept for a look back; queued ones are all kept.
    static constexpr std::size_t finishedKept = 1024;
    static constexpr std::size_t previewLength = 64 * 1024;

    void add(Entry entry);
    // Counts bytes that went out; false for a send this ledger does not know.
    bool wrote(std::uint64_t id, std::uint64_t bytes);
    // Marks the send as written (an empty error) or failed, and returns the
    // entry with its preview (which the ledger then drops); an entry with id
    // 0 for a send it does not know.
    Entry finish(std::uint64_t id, const std::string& error);

    const Entry* find(std::uint64_t id) const;
    std::vector<Entry> all() const;
    std::size_t queuedCount() const;

private:
    Entry* findQueued(std::uint64_t id);

    std::deque<Entry> queued;
    std::deque<Entry> finished;
};
