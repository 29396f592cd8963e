#pragma once

#include <QObject>

#include <functional>

// The one way news crosses from an IO thread to the GUI thread: a call queued
// into the GUI thread's event loop for a receiver that lives there. Qt drops
// it if the receiver is destroyed before it runs, so the call may use the
// receiver freely. Qt's event queue is what orders the hand-off; whatever the
// call captures is made on the posting thread and used, then destroyed, on
// the GUI thread.
namespace GuiHandOff
{
void post(QObject* receiver, std::function<void()> call);
}
