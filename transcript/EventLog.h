#pragma once

#include "TranscriptTypes.h"

#include <cstddef>
#include <cstdint>
#include <deque>

// A transcript's events in the order they happened, each placed after the
// chunks recorded before it. At most maxEvents are kept: the one that reaches
// the limit says so, and later ones are only counted. Not thread-safe: the
// transcript guards it.
class EventLog
{
public:
    static constexpr std::size_t maxEvents = 200000;
    static constexpr std::size_t maxEventBytes = 64 * 1024;

    // Returns the event's index.
    std::size_t add(TranscriptEvent event);
    std::size_t count() const { return events.size(); }
    // index < count().
    const TranscriptEvent& at(std::size_t index) const { return events[index]; }
    // The index of the first event that comes after at least `chunks` chunks.
    std::size_t firstAfter(std::size_t chunks) const;

private:
    std::deque<TranscriptEvent> events;
    std::uint64_t dropped = 0;
};
