#pragma once

#include <boost/weak_ptr.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

class Session;

// The connections whose client ended its sending while this side still holds
// the socket (for the user's reply), oldest first. When descriptors run short,
// the Server has the oldest of them give their sockets back so that new
// clients can be accepted. Weak references: a registered Session still goes
// away with its window.
//
// Thread-safe: Sessions register and leave on their strands, the Server
// releases from its accept loop. No lock is held while a Session is called.
class EndedSessions
{
public:
    // Ended connections beyond this many are not registered: they keep their
    // sockets until their windows close, as every connection did before.
    static constexpr std::size_t defaultCapacity = 65536;

    explicit EndedSessions(std::size_t capacity = defaultCapacity);

    EndedSessions(const EndedSessions&) = delete;
    EndedSessions& operator=(const EndedSessions&) = delete;

    // Returns the entry's ticket for leave(), or 0 when the registry is full.
    std::uint64_t enter(const boost::weak_ptr<Session>& session);
    // A ticket no longer registered (or 0) is ignored.
    void leave(std::uint64_t ticket);
    // Takes up to count of the oldest connections still alive out of the
    // registry and asks each to release its socket; returns how many it asked.
    std::size_t releaseOldest(std::size_t count);
    // Called by each Session asked, once it has released its socket (or
    // found it closed already).
    void releaseDone();
    // Some Session asked has not yet released its socket: the descriptors
    // are not free yet, and asking more would release more than needed.
    bool releasesUnderWay();
    std::size_t size();

private:
    const std::size_t capacity;
    std::mutex mutex;
    // Tickets grow with every entry, so the map's order is the order of entry.
    std::map<std::uint64_t, boost::weak_ptr<Session>> entries;
    std::uint64_t lastTicket = 0;
    std::size_t releasing = 0;
};
