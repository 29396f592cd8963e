#include "FrameClock.h"

#include <QVector>

#include <algorithm>
#include <limits>

FrameClock::FrameClock()
{
    clock.start();
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &FrameClock::runDueFrames);
}

void FrameClock::requestFrame(FrameClient* client, int delayMs)
{
    Entry& entry = clients[client];
    const qint64 now = nowMs();
    qint64 due = now + std::max(delayMs, 0);
    if (delayMs < 0 && entry.lastFrameMs >= 0)
        due = std::max(now, entry.lastFrameMs + minimumGapMs);
    if (entry.dueMs >= 0 && entry.dueMs <= due)
        return;
    entry.dueMs = due;
    if (!timer.isActive() || due < timerDueMs)
        startTimerFor(due);
}

void FrameClock::forget(FrameClient* client)
{
    clients.remove(client);
}

bool FrameClock::hasRequest(const FrameClient* client) const
{
    const auto found = clients.constFind(const_cast<FrameClient*>(client));
    return found != clients.cend() && found->dueMs >= 0;
}

void FrameClock::setBehind(FrameClient* client, bool behind)
{
    Entry& entry = clients[client];
    entry.behindSinceMs = behind ? nowMs() : -1;
}

int FrameClock::drawingTimeMs() const
{
    const qint64 now = nowMs();
    const auto drawing = std::count_if(clients.cbegin(), clients.cend(), [now](const Entry& entry) {
        return entry.behindSinceMs >= 0 && now - entry.lastFrameMs < behindLapseMs;
    });
    return std::max<int>(1, sliceMs / std::max<int>(1, static_cast<int>(drawing)));
}

// A client may ask again, or be forgotten, while the round runs: the due ones
// are taken first and looked up again before each call.
void FrameClock::runDueFrames()
{
    const qint64 now = nowMs();
    QVector<FrameClient*> due;
    for (auto it = clients.cbegin(); it != clients.cend(); ++it) {
        if (it->dueMs >= 0 && it->dueMs <= now)
            due.append(it.key());
    }
    for (FrameClient* client : std::as_const(due)) {
        const auto entry = clients.find(client);
        if (entry == clients.end() || entry->dueMs < 0 || entry->dueMs > now)
            continue;
        entry->dueMs = -1;
        entry->lastFrameMs = nowMs();
        client->onFrame();
    }
    startTimer();
}

void FrameClock::startTimer()
{
    qint64 next = std::numeric_limits<qint64>::max();
    for (const Entry& entry : std::as_const(clients)) {
        if (entry.dueMs >= 0)
            next = std::min(next, entry.dueMs);
    }
    if (next == std::numeric_limits<qint64>::max()) {
        timer.stop();
        return;
    }
    startTimerFor(next);
}

void FrameClock::startTimerFor(qint64 dueMs)
{
    timerDueMs = dueMs;
    timer.start(static_cast<int>(std::max<qint64>(0, dueMs - nowMs())));
}
