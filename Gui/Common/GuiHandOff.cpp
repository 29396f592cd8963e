#include "GuiHandOff.h"

#include <QMetaObject>

namespace GuiHandOff
{
// The call is wrapped in a lambda of this function's own, so that the GUI
// thread runs and destroys it in frames that name the hand-off (which the
// race detector's suppressions point at).
void post(QObject* receiver, std::function<void()> call)
{
    QMetaObject::invokeMethod(
        receiver, [call = std::move(call)] { call(); }, Qt::QueuedConnection);
}
}
