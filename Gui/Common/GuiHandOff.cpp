#include "GuiHandOff.h"

#include <QMetaObject>

namespace GuiHandOff
{
void post(QObject* receiver, std::function<void()> call)
{
    QMetaObject::invokeMethod(receiver, std::move(call), Qt::QueuedConnection);
}
}
