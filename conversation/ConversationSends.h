#pragma once

#include "ProtocolBase.h"
#include "SendLedger.h"

#include <boost/shared_ptr.hpp>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// What a conversation sends: each send handed to the connection and its entry
// in the ledger, made before the connection can report anything about it.
// The sends may come from any thread; the reports come on the IO strand.
class ConversationSends
{
public:
    explicit ConversationSends(boost::shared_ptr<ProtocolBase> connection);

    // Each returns the send's number in the ledger, or 0 when nothing was
    // sent (error says why).
    std::uint64_t send(std::string bytes);
    std::uint64_t sendInPieces(std::string bytes, std::size_t pieceSize, std::chrono::milliseconds delay,
                               std::string& error);
    std::uint64_t sendFile(const std::string& path, std::string& error);

    // IO strand: bytes of a send went out; a send ended (an empty error: all
    // of it went out). finished() returns the entry, id 0 for one not known.
    void wrote(std::uint64_t id, std::uint64_t bytes);
    SendLedger::Entry finished(std::uint64_t id, const std::string& error);

    std::vector<SendLedger::Entry> all() const;
    SendLedger::Entry entry(std::uint64_t id) const;

private:
    const boost::shared_ptr<ProtocolBase> connection;
    // Held while a send is handed over: its first report waits for its entry.
    mutable std::mutex mutex;
    SendLedger ledger;
};
