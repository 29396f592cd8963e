#include "EventLog.h"

#include <algorithm>

std::size_t EventLog::add(TranscriptEvent event)
{
    if (events.size() >= maxEvents) {
        ++dropped;
        return events.size() - 1;
    }
    if (event.bytes.size() > maxEventBytes)
        event.bytes.resize(maxEventBytes);
    if (events.size() + 1 == maxEvents) {
        event.kind = EventKind::Note;
        event.text = "[Too many events: later ones are not shown]";
        event.bytes.clear();
    }
    events.push_back(std::move(event));
    return events.size() - 1;
}

std::size_t EventLog::firstAfter(std::size_t chunks) const
{
    const auto found = std::lower_bound(events.begin(), events.end(), chunks,
        [](const TranscriptEvent& event, std::size_t value) { return event.chunksBefore < value; });
    return static_cast<std::size_t>(found - events.begin());
}
