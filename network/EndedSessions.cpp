#include "EndedSessions.h"

#include "Session.h"

#include <boost/shared_ptr.hpp>

#include <vector>

EndedSessions::EndedSessions(std::size_t capacity)
    : capacity(capacity)
{
}

std::uint64_t EndedSessions::enter(const boost::weak_ptr<Session>& session)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (entries.size() >= capacity)
        return 0;
    entries.emplace(++lastTicket, session);
    return lastTicket;
}

void EndedSessions::leave(std::uint64_t ticket)
{
    if (ticket == 0)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    entries.erase(ticket);
}

std::size_t EndedSessions::releaseOldest(std::size_t count)
{
    std::vector<boost::shared_ptr<Session>> chosen;
    {
        std::lock_guard<std::mutex> lock(mutex);
        while (chosen.size() < count && !entries.empty()) {
            if (boost::shared_ptr<Session> session = entries.begin()->second.lock())
                chosen.push_back(std::move(session));
            entries.erase(entries.begin());
        }
        releasing += chosen.size();
    }
    for (const boost::shared_ptr<Session>& session : chosen)
        session->releaseForNewClients();
    return chosen.size();
}

void EndedSessions::releaseDone()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (releasing > 0)
        --releasing;
}

bool EndedSessions::releasesUnderWay()
{
    std::lock_guard<std::mutex> lock(mutex);
    return releasing > 0;
}

std::size_t EndedSessions::size()
{
    std::lock_guard<std::mutex> lock(mutex);
    return entries.size();
}
