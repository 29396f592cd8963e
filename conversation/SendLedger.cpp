#include "SendLedger.h"

#include <algorithm>

void SendLedger::add(Entry entry)
{
    if (entry.preview.size() > previewLength)
        entry.preview.resize(previewLength);
    queued.push_back(std::move(entry));
}

SendLedger::Entry* SendLedger::findQueued(std::uint64_t id)
{
    const auto found = std::find_if(queued.begin(), queued.end(), [id](const Entry& entry) { return entry.id == id; });
    return found == queued.end() ? nullptr : &*found;
}

bool SendLedger::wrote(std::uint64_t id, std::uint64_t bytes)
{
    Entry* entry = findQueued(id);
    if (!entry)
        return false;
    entry->written += bytes;
    return true;
}

// Sends end in the order they were queued, so the entry is nearly always the
// first one.
SendLedger::Entry SendLedger::finish(std::uint64_t id, const std::string& error)
{
    const auto found = std::find_if(queued.begin(), queued.end(), [id](const Entry& entry) { return entry.id == id; });
    if (found == queued.end())
        return Entry{};
    Entry entry = std::move(*found);
    queued.erase(found);
    entry.state = error.empty() ? State::Written : State::Failed;
    entry.reason = error;
    Entry kept = entry;
    kept.preview = std::string();
    finished.push_back(std::move(kept));
    if (finished.size() > finishedKept)
        finished.pop_front();
    return entry;
}

const SendLedger::Entry* SendLedger::find(std::uint64_t id) const
{
    for (const std::deque<Entry>* entries : {&queued, &finished}) {
        const auto found =
            std::find_if(entries->begin(), entries->end(), [id](const Entry& entry) { return entry.id == id; });
        if (found != entries->end())
            return &*found;
    }
    return nullptr;
}

std::vector<SendLedger::Entry> SendLedger::all() const
{
    std::vector<Entry> entries(finished.begin(), finished.end());
    entries.insert(entries.end(), queued.begin(), queued.end());
    return entries;
}

std::size_t SendLedger::queuedCount() const
{
    return queued.size();
}
