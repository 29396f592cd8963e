#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into quitRequested on the GUI thread, so
// that the program ends as Quit ends it: connections closed, the server shut
// down, settings saved. The handler only writes the signal's number into a
// socket pair, which is async-signal-safe; the GUI thread reads it there.
// One per process, made before the first signal should count.
class SignalQuitter : public QObject
{
    Q_OBJECT

public:
    SignalQuitter();
    ~SignalQuitter() override;

    SignalQuitter(const SignalQuitter&) = delete;
    SignalQuitter& operator=(const SignalQuitter&) = delete;

signals:
    void quitRequested();

private:
    void readSignals();

    int readEnd = -1;
    QSocketNotifier* notifier = nullptr;
};
