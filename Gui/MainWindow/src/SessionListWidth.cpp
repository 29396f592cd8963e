#include "SessionListWidth.h"

#include <QDockWidget>
#include <QMainWindow>
#include <QScrollBar>
#include <QTreeView>

#include <algorithm>

namespace
{
constexpr int settleMs = 200;
}

SessionListWidth::SessionListWidth(QMainWindow* window, QDockWidget* dock, QTreeView* list)
    : QObject(window)
    , window(window)
    , dock(dock)
    , list(list)
{
    pending.setSingleShot(true);
    pending.setInterval(settleMs);
    connect(&pending, &QTimer::timeout, this, &SessionListWidth::fit);
    QAbstractItemModel* model = list->model();
    connect(model, &QAbstractItemModel::rowsInserted, &pending, qOverload<>(&QTimer::start));
    connect(model, &QAbstractItemModel::dataChanged, &pending, qOverload<>(&QTimer::start));
}

void SessionListWidth::fit()
{
    const int needed = static_cast<QAbstractItemView*>(list)->sizeHintForColumn(0) + 2 * list->frameWidth() +
                       list->verticalScrollBar()->sizeHint().width();
    const int shown = list->viewport()->width();
    if (needed <= shown + list->verticalScrollBar()->sizeHint().width() || dock->isFloating())
        return;
    const int room = window->width() / 3;
    const int wanted = std::min(dock->width() + needed - shown, room);
    if (wanted > dock->width())
        window->resizeDocks({dock}, {wanted}, Qt::Horizontal);
}
