#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/shared_ptr.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string>

// What one connection sends, in order and one write at a time: writes of
// large texts at the same time would interleave their bytes. A send is
// bytes, bytes in pieces with pauses between them, a file streamed in
// blocks, or the end of the sending side. Strand-only; the connection does
// the writing itself (plain or through TLS) and hears how each send went.
class SendQueue
{
public:
    // A file is sent in blocks of this size, one block in memory at a time.
    static constexpr std::size_t fileBlockSize = 256 * 1024;

    using Executor = boost::asio::strand<boost::asio::io_context::executor_type>;
    using WriteDone = std::function<void(const boost::system::error_code& error, std::size_t written)>;

    // What the queue asks of its connection, always on the strand.
    struct Connection
    {
        // Writes all the bytes, which stay alive and unchanged until done.
        std::function<void(const char* bytes, std::size_t size, WriteDone done)> write;
        // A closeSending's turn: ends the sending side, then calls done.
        std::function<void(std::function<void()> done)> endSending;
        // The bytes of a write that ended (a reply, a piece, a file's header
        // or block; of a failed write, what went out before it failed).
        std::function<void(std::uint64_t id, const std::string& bytes)> written;
        // How a send ended: the empty string, or why it failed.
        std::function<void(std::uint64_t id, const std::string& error)> finished;
        // A write failed with error.
        std::function<void(const boost::system::error_code& error)> writeFailed;
        // Keeps the connection alive while the queue waits between pieces.
        std::function<boost::shared_ptr<void>()> owner;
    };

    struct Item
    {
        enum class Kind { Bytes, Pieces, File, CloseSending };
        Kind kind = Kind::Bytes;
        std::uint64_t id = 0;
        // Bytes and Pieces: what is sent. File: the header, then each block.
        std::string data;
        std::size_t pieceSize = 0;
        std::chrono::milliseconds delay{0};
        // File: sent up to its end or up to sizeLimit bytes.
        std::string path;
        std::uint64_t sizeLimit = 0;
    };

    SendQueue(const Executor& strand, Connection connection);
    ~SendQueue();

    SendQueue(const SendQueue&) = delete;
    SendQueue& operator=(const SendQueue&) = delete;

    void add(Item item);
    // Every send queued now or later fails with reason; a write under way
    // ends first.
    void refuse(std::string reason);
    const std::string& refusal() const { return refusalText; }
    // While held, no send starts or fails (a TLS connection before its
    // handshake is told).
    void hold() { held = true; }
    void release();
    // Ends a pause between pieces at once.
    void cancelWaits();

private:
    struct Entry;

    void pump();
    void startFront();
    void writeFront(const char* bytes, std::size_t size);
    void frontWritten(const boost::system::error_code& error, std::size_t written);
    void writeNextPiece();
    void pieceDelayOver(const boost::system::error_code& error);
    void endSending();
    bool openFrontFile();
    void sendNextFileBlock();
    void finishFront(const std::string& error);
    void reportWritten(const Entry& entry, std::size_t written);

    Connection connection;
    // A list rather than a deque: most connections never send, and an empty
    // deque already allocates.
    std::list<Entry> entries;
    // An operation of the front entry (a write, a pause between pieces, the
    // end of sending) is under way; its handler goes on from there.
    bool frontBusy = false;
    bool held = false;
    std::string refusalText;
    boost::asio::steady_timer pieceTimer;
};
