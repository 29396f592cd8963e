#include "ConversationSends.h"

#include "ByteEscaper.h"
#include "Log.h"

namespace
{
std::string fileNameOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The log copy escapes control bytes: a reply must not drive the user's terminal.
void logReply(const std::string& bytes)
{
    Log::line("emitting onSendLocalDataSignal");
    static const std::string logPrefix = "onReadLocalDataSlot:";
    Log::writeLine(logPrefix, bytes.data(), bytes.size(), appendEscaped);
}
}

ConversationSends::ConversationSends(boost::shared_ptr<ProtocolBase> connection)
    : connection(std::move(connection))
{
}

std::uint64_t ConversationSends::send(std::string bytes)
{
    logReply(bytes);
    SendLedger::Entry entry;
    entry.size = bytes.size();
    entry.preview = bytes.substr(0, SendLedger::previewLength);
    std::lock_guard<std::mutex> lock(mutex);
    entry.id = connection->sendFramed(std::move(bytes));
    const std::uint64_t id = entry.id;
    ledger.add(std::move(entry));
    return id;
}

std::uint64_t ConversationSends::sendInPieces(std::string bytes, std::size_t pieceSize,
                                              std::chrono::milliseconds delay, std::string& error)
{
    if (pieceSize == 0) {
        error = "Send in pieces: a piece must be at least 1 byte";
        return 0;
    }
    logReply(bytes);
    SendLedger::Entry entry;
    entry.kind = SendLedger::Kind::Pieces;
    entry.size = bytes.size();
    entry.pieceSize = pieceSize;
    entry.delay = std::max(delay, std::chrono::milliseconds(0));
    entry.preview = bytes.substr(0, SendLedger::previewLength);
    std::lock_guard<std::mutex> lock(mutex);
    entry.id = connection->sendFramedInPieces(std::move(bytes), pieceSize, entry.delay);
    const std::uint64_t id = entry.id;
    ledger.add(std::move(entry));
    return id;
}

std::uint64_t ConversationSends::sendFile(const std::string& path, std::string& error)
{
    SendLedger::Entry entry;
    entry.kind = SendLedger::Kind::File;
    entry.fileName = fileNameOf(path);
    ProtocolBase::FileSendInfo info;
    std::uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        id = entry.id = connection->sendFile(path, error, &info);
        if (id == 0)
            return 0;
        entry.fileSize = info.fileSize;
        entry.headerSize = info.headerSize;
        entry.size = info.fileSize + info.headerSize;
        ledger.add(std::move(entry));
    }
    // Outside the lock: a full log queue may make this thread wait.
    static const std::string logPrefix = "sending file ";
    Log::writeLine(logPrefix, path.data(), path.size(), appendEscaped);
    return id;
}

void ConversationSends::wrote(std::uint64_t id, std::uint64_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    ledger.wrote(id, bytes);
}

SendLedger::Entry ConversationSends::finished(std::uint64_t id, const std::string& error)
{
    std::lock_guard<std::mutex> lock(mutex);
    return ledger.finish(id, error);
}

std::vector<SendLedger::Entry> ConversationSends::all() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return ledger.all();
}

SendLedger::Entry ConversationSends::entry(std::uint64_t id) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const SendLedger::Entry* found = ledger.find(id);
    return found ? *found : SendLedger::Entry{};
}
