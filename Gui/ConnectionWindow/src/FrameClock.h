#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>

// Something that draws in frames: a window whose conversation changed.
class FrameClient
{
public:
    virtual ~FrameClient() = default;
    virtual void onFrame() = 0;
};

// Paces the drawing of every connection window with one timer. A client asks
// for a frame and gets it on a later turn of the event loop, no sooner than
// minimumGapMs after its last one, so that small changes arriving close
// together are drawn together. Clients that are behind (more arrived than a
// frame could draw) share one slice of drawing time per round instead of
// taking a slice each.
//
// A timer rather than posted calls: Qt's event loop delivers every posted
// event before it looks at its timers, so frames leave room for input,
// painting and the news of other connections.
class FrameClock : public QObject
{
public:
    static constexpr int minimumGapMs = 4;
    // How long the frames of one round may hold the GUI thread.
    static constexpr int sliceMs = 12;
    // A client that has not drawn for this long no longer counts as behind.
    static constexpr int behindLapseMs = 100;

    FrameClock();

    // A frame after delayMs, or as soon as the gap allows (delayMs < 0).
    // An earlier request stands if it comes sooner.
    void requestFrame(FrameClient* client, int delayMs = -1);
    // Drops the client's requests; to be called before it is destroyed.
    void forget(FrameClient* client);
    bool hasRequest(const FrameClient* client) const;

    // The drawing time of one frame of a client: its share of the slice.
    // A client says whether it ended its frame behind.
    int drawingTimeMs() const;
    void setBehind(FrameClient* client, bool behind);

private:
    struct Entry
    {
        qint64 dueMs = -1; // -1: no frame asked for
        qint64 lastFrameMs = -1;
        qint64 behindSinceMs = -1; // -1: caught up
    };

    void runDueFrames();
    void startTimer();
    void startTimerFor(qint64 dueMs);
    qint64 nowMs() const { return clock.elapsed(); }

    QElapsedTimer clock;
    QTimer timer;
    qint64 timerDueMs = -1;
    QHash<FrameClient*, Entry> clients;
};
