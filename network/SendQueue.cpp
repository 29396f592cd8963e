#include "SendQueue.h"

#include "Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

// A queued send and, for a file, its descriptor, closed with it.
struct SendQueue::Entry
{
    explicit Entry(Item item)
        : item(std::move(item))
    {
    }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    ~Entry()
    {
        if (fd >= 0)
            ::close(fd);
    }

    Item item;
    // Pieces: bytes written so far. File: where the next block starts.
    std::uint64_t position = 0;
    int fd = -1;
};

SendQueue::SendQueue(const Executor& strand, Connection connection)
    : connection(std::move(connection))
    , pieceTimer(strand)
{
}

SendQueue::~SendQueue() = default;

void SendQueue::add(Item item)
{
    entries.emplace_back(std::move(item));
    pump();
}

void SendQueue::refuse(std::string reason)
{
    refusalText = std::move(reason);
    pump();
}

void SendQueue::release()
{
    held = false;
    pump();
}

void SendQueue::cancelWaits()
{
    pieceTimer.cancel();
}

// Starts queued sends one after the other until one has to wait for a write
// or a pause.
void SendQueue::pump()
{
    while (!entries.empty() && !frontBusy && !held) {
        if (!refusalText.empty())
            finishFront(refusalText);
        else
            startFront();
    }
}

void SendQueue::startFront()
{
    Entry& entry = entries.front();
    switch (entry.item.kind) {
    case Item::Kind::Bytes:
        writeFront(entry.item.data.data(), entry.item.data.size());
        break;
    case Item::Kind::Pieces:
        writeNextPiece();
        break;
    case Item::Kind::File:
        if (!openFrontFile())
            return;
        if (entry.item.data.empty())
            sendNextFileBlock();
        else
            writeFront(entry.item.data.data(), entry.item.data.size());
        break;
    case Item::Kind::CloseSending:
        endSending();
        break;
    }
}

void SendQueue::writeFront(const char* bytes, std::size_t size)
{
    frontBusy = true;
    connection.write(bytes, size, [this](const boost::system::error_code& error, std::size_t written) {
        frontWritten(error, written);
    });
}

void SendQueue::frontWritten(const boost::system::error_code& error, std::size_t written)
{
    frontBusy = false;
    Entry& entry = entries.front();
    if (written > 0)
        reportWritten(entry, written);
    if (error || !refusalText.empty()) {
        if (error)
            connection.writeFailed(error);
        finishFront(refusalText.empty() ? error.message() : refusalText);
        pump();
        return;
    }
    switch (entry.item.kind) {
    case Item::Kind::Pieces:
        entry.position += written;
        if (entry.position >= entry.item.data.size()) {
            finishFront(std::string());
        } else if (entry.item.delay.count() > 0) {
            frontBusy = true;
            pieceTimer.expires_after(entry.item.delay);
            pieceTimer.async_wait([this, owner = connection.owner()](const boost::system::error_code& waitError) {
                pieceDelayOver(waitError);
            });
        } else {
            writeNextPiece();
        }
        break;
    case Item::Kind::File:
        sendNextFileBlock();
        break;
    default:
        finishFront(std::string());
        break;
    }
    pump();
}

void SendQueue::writeNextPiece()
{
    Entry& entry = entries.front();
    const std::size_t size
        = static_cast<std::size_t>(std::min<std::uint64_t>(entry.item.pieceSize, entry.item.data.size() - entry.position));
    writeFront(entry.item.data.data() + entry.position, size);
}

void SendQueue::pieceDelayOver(const boost::system::error_code& error)
{
    frontBusy = false;
    if (error || !refusalText.empty())
        finishFront(refusalText.empty() ? error.message() : refusalText);
    else
        writeNextPiece();
    pump();
}

void SendQueue::endSending()
{
    frontBusy = true;
    connection.endSending([this] {
        frontBusy = false;
        entries.pop_front();
        pump();
    });
}

// Non-blocking, so that a named pipe cannot hold up the IO thread.
bool SendQueue::openFrontFile()
{
    Entry& entry = entries.front();
    entry.fd = ::open(entry.item.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (entry.fd < 0) {
        finishFront(std::strerror(errno));
        return false;
    }
    return true;
}

// One block is read while none is being written: the file is never held in
// memory beyond the block that is going out.
void SendQueue::sendNextFileBlock()
{
    Entry& entry = entries.front();
    const std::size_t wanted = static_cast<std::size_t>(
        std::min<std::uint64_t>(fileBlockSize, entry.item.sizeLimit - entry.position));
    if (wanted == 0) {
        finishFront(std::string());
        return;
    }
    std::string& block = entry.item.data;
    block.resize(wanted);
    ssize_t count;
    do {
        count = ::pread(entry.fd, &block[0], wanted, static_cast<off_t>(entry.position));
    } while (count < 0 && errno == EINTR);
    if (count <= 0) {
        finishFront(count < 0 ? std::strerror(errno) : std::string());
        return;
    }
    block.resize(static_cast<std::size_t>(count));
    entry.position += static_cast<std::uint64_t>(count);
    writeFront(block.data(), block.size());
}

// Logs and reports how the front send ended, and drops it.
void SendQueue::finishFront(const std::string& error)
{
    const Item::Kind kind = entries.front().item.kind;
    const std::uint64_t id = entries.front().item.id;
    entries.pop_front();
    if (kind == Item::Kind::CloseSending)
        return;
    if (error.empty())
        Log::line("sendDone.");
    else
        Log::line("send failed: ", error);
    connection.finished(id, error);
}

// A whole reply or file block is passed as it is; only a piece, or the part
// of a write that went out before it failed, is copied.
void SendQueue::reportWritten(const Entry& entry, std::size_t written)
{
    const std::size_t start = entry.item.kind == Item::Kind::Pieces ? static_cast<std::size_t>(entry.position) : 0;
    if (start == 0 && written == entry.item.data.size())
        connection.written(entry.item.id, entry.item.data);
    else
        connection.written(entry.item.id, entry.item.data.substr(start, written));
}
