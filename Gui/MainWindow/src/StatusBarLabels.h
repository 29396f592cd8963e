#pragma once

#include "BindAddress.h"
#include "ListenResult.h"

#include <QString>

class QLabel;
class QStatusBar;

// The status bar's permanent labels: where the program listens (or why it
// does not) and how many connections wait with their reading paused.
// Permanent widgets, since a status bar message would be cleared by every
// status tip, such as a highlighted menu entry.
class StatusBarLabels
{
public:
    explicit StatusBarLabels(QStatusBar* statusBar);

    void showListening(const ListenResult& result, const BindAddress& address);
    void showAcceptingPaused(const ListenResult& result, quint64 freeDescriptors, quint64 resumeLevel);
    void showStopped(const ListenResult& failedStart = ListenResult());
    // What the session list's model says of connections whose reading is
    // paused; empty hides it.
    void showPausedReading(const QString& text);

    QString listeningText() const;
    // Empty while no connection's reading is paused.
    QString pausedReadingText() const;

private:
    QLabel* listeningState;
    QLabel* pausedReading;
};
