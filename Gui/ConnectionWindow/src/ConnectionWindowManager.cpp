#include "ConnectionWindowManager.h"

#include "ConnectionRules.h"
#include "ConnectionWindow.h"
#include "Conversation.h"
#include "Latin1.h"
#include "Log.h"
#include "PausedReadingText.h"
#include "ProtocolBase.h"

#include <QElapsedTimer>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QStyle>
#include <QTabBar>
#include <QTreeView>

#include <algorithm>

namespace
{
// How long one batch of new windows may hold the GUI thread: a burst of
// clients gets a handful of windows per turn of the event loop, and other
// events (input, painting, the conversations) get theirs in between.
constexpr qint64 batchSliceMs = 8;
// Drawing the session list or the tab bar once takes longer the more rows or
// tabs there are (each row and tab title is laid out again), and a batch
// makes both draw again: during a burst they are drawn at most this often.
constexpr qint64 listRepaintIntervalMs = 250;
}

ConnectionWindowManager::ConnectionWindowManager(QMdiArea* mdiArea, QTreeView* treeView)
    : QStringListModel(nullptr)
    , mdiArea(mdiArea)
    , treeView(treeView)
{
    connect(mdiArea, &QMdiArea::subWindowActivated, this, &ConnectionWindowManager::onSubWindowActivated);
    // A zero timer, not a posted call: Qt delivers every posted event before it
    // looks at its timers, so posted batches would run back to back.
    nextBatch.setSingleShot(true);
    nextBatch.setInterval(0);
    connect(&nextBatch, &QTimer::timeout, this, &ConnectionWindowManager::createPendingWindows);
}

int ConnectionWindowManager::rowOf(const QString& id) const
{
    const auto found = std::lower_bound(rowIds.cbegin(), rowIds.cend(), id);
    return found != rowIds.cend() && *found == id ? static_cast<int>(found - rowIds.cbegin()) : -1;
}

// Two open windows can show the same endpoint: the same client port from two
// local addresses, or a client that reconnected while its ended window is
// still open. The second gets "#2" appended, and so on; titles keep the bare
// endpoint text.
QString ConnectionWindowManager::uniqueIdentifier(const QString& endpoint) const
{
    QString id = endpoint;
    for (int n = 2; rowOf(id) >= 0; ++n)
        id = QString("%1#%2").arg(endpoint).arg(n);
    return id;
}

// The connection is read, and answered by rules, from now on, whenever its window comes.
void ConnectionWindowManager::createConnectionWindow(boost::shared_ptr<ProtocolBase> protocol)
{
    std::shared_ptr<Conversation> conversation = Conversation::create(std::move(protocol), transcriptLimits);
    ConnectionRules::startAnswering(*conversation);
    conversation->start();
    pending.push_back(std::move(conversation));
    if (!nextBatch.isActive())
        nextBatch.start();
}

// Makes at least one window, then more while the slice lasts. Once no
// connection waits, the widgets of windows that came into sight are made,
// newest (topmost) first, again within the slice.
void ConnectionWindowManager::createPendingWindows()
{
    if (pending.size() > 1 && !listRepaintsHeld)
        holdListRepaints(true);
    QElapsedTimer slice;
    slice.start();
    for (bool first = true; !pending.empty() && (first || slice.elapsed() < batchSliceMs); first = false) {
        std::shared_ptr<Conversation> conversation = std::move(pending.front());
        pending.pop_front();
        createWindow(std::move(conversation));
    }
    if (pending.empty())
        makeWidgetsOfSeenWindows(slice);
    if (listRepaintsHeld && (pending.empty() || listRepaintsHeldFor.elapsed() >= listRepaintIntervalMs))
        holdListRepaints(false);
    if (!pending.empty() || !seenWithoutWidgets.isEmpty())
        nextBatch.start();
}

void ConnectionWindowManager::makeWidgetsOfSeenWindows(const QElapsedTimer& slice)
{
    while (!seenWithoutWidgets.isEmpty() && slice.elapsed() < batchSliceMs) {
        const QPointer<ConnectionWindow> window = seenWithoutWidgets.takeLast();
        // Covered again since it was drawn: it will be drawn again when uncovered.
        if (window && !window->visibleRegion().isEmpty())
            window->makeWidgets();
    }
}

void ConnectionWindowManager::onSeenWithoutWidgets(ConnectionWindow* window)
{
    if (seenWithoutWidgets.contains(window))
        return;
    seenWithoutWidgets.append(window);
    if (!nextBatch.isActive())
        nextBatch.start();
}

void ConnectionWindowManager::holdListRepaints(bool hold)
{
    listRepaintsHeld = hold;
    listRepaintsHeldFor.start();
    treeView->setUpdatesEnabled(!hold);
    if (auto* tabs = mdiArea->findChild<QTabBar*>(QString(), Qt::FindDirectChildrenOnly))
        tabs->setUpdatesEnabled(!hold);
}

void ConnectionWindowManager::createWindow(std::shared_ptr<Conversation> conversation)
{
    const QString id = uniqueIdentifier(Latin1::toQString(conversation->endpoint()));
    // In a burst, a window gets its widgets only once it is seen.
    const auto widgets = pending.empty() ? ConnectionWindow::Widgets::Now : ConnectionWindow::Widgets::WhenSeen;
    auto* window = new ConnectionWindow(mdiArea, std::move(conversation), frameClock, id, widgets);
    connect(window, &ConnectionWindow::seenWithoutWidgets, this, [this, window] { onSeenWithoutWidgets(window); });
    connect(window, &ConnectionWindow::onWindowDestroying, this, &ConnectionWindowManager::onWindowDestroyed);
    connect(window, &ConnectionWindow::onWindowInactive, this, &ConnectionWindowManager::onWindowInactive);
    connect(window, &ConnectionWindow::tlsHandshakeFailed, this, &ConnectionWindowManager::onTlsHandshakeFailed);
    connect(window, &ConnectionWindow::readingPausedChanged, this, &ConnectionWindowManager::onReadingPaused);
    // The connection reads before its window comes: it may be paused already.
    if (window->isReadingPaused())
        onReadingPaused(id, window->readingPause());

    QMdiSubWindow* subWindow = mdiArea->addSubWindow(window);
    fitIntoArea(subWindow);
    addRow(id, subWindow, window->getTitle());
    showWindow(subWindow);
    window->showTitle();
    if (rowIds.size() == 1)
        emit onFirstSubwindowCreated();

    window->start();
}

// A window larger than the area would be placed partly outside it, out of
// reach; its contents make do with less room instead.
void ConnectionWindowManager::fitIntoArea(QMdiSubWindow* subWindow)
{
    const QSize room = mdiArea->viewport()->size();
    if (room.isEmpty())
        return;
    // The area would make it only as large as its least: every control
    // readable takes the size the window asks for, where there is room.
    const QSize fitting = subWindow->sizeHint().expandedTo(subWindow->widget()->size()).boundedTo(room);
    if (fitting != subWindow->size())
        subWindow->resize(fitting);
    const QPoint inside(qBound(0, subWindow->x(), room.width() - fitting.width()),
                        qBound(0, subWindow->y(), room.height() - fitting.height()));
    if (inside != subWindow->pos())
        subWindow->move(inside);
}

// A new window becomes the active one, unless the keyboard is in the active
// window: then what the user types keeps going there. (A sub-window activates
// itself when shown unless it is disabled at that moment.)
void ConnectionWindowManager::showWindow(QMdiSubWindow* subWindow)
{
    QMdiSubWindow* active = mdiArea->activeSubWindow();
    QWidget* focus = mdiArea->window()->focusWidget();
    // The focus on the frame of a window that has no widgets yet is not the
    // user's. In a burst only the last window takes the focus: each change of
    // the active window costs as much again as making one without widgets.
    const bool userIsTyping = active && focus && active->widget() && active->widget()->isAncestorOf(focus);
    if (!userIsTyping && pending.empty()) {
        subWindow->show();
        return;
    }
    // Only the sub-window's own flag: setEnabled() would pass the change to
    // every widget inside, twice, which is a good part of making a window.
    subWindow->setAttribute(Qt::WA_Disabled, true);
    subWindow->show();
    subWindow->setAttribute(Qt::WA_Disabled, false);
    // As tabs, the active window fills the area and a new one is a tab behind
    // it: shown on top it would float over the tab the user works in.
    if (mdiArea->viewMode() == QMdiArea::TabbedView)
        subWindow->lower();
}

void ConnectionWindowManager::addRow(const QString& id, QMdiSubWindow* subWindow, const QString& title)
{
    const int row = static_cast<int>(std::lower_bound(rowIds.cbegin(), rowIds.cend(), id) - rowIds.cbegin());
    rowIds.insert(row, id);
    rowWindows.insert(row, subWindow);
    idOfWindow.insert(subWindow, id);
    insertRows(row, 1);
    setRowTitle(row, title);
}

// Scripts that watch standard output learn of every row's new text.
void ConnectionWindowManager::setRowTitle(int row, const QString& title)
{
    Log::line("updateDataModel adding ", Latin1::toBytes(title));
    QStringListModel::setData(index(row, 0), title, Qt::DisplayRole);
}

void ConnectionWindowManager::onReadingPaused(const QString& id, Conversation::Pause pause)
{
    const Conversation::Pause before = pausedWindows.value(id, Conversation::Pause::None);
    if (pause == before)
        return;
    if (pause != Conversation::Pause::None)
        pausedWindows.insert(id, pause);
    else
        pausedWindows.remove(id);
    const int row = rowOf(id);
    if (row >= 0)
        emit dataChanged(index(row, 0), index(row, 0), {Qt::DecorationRole, Qt::ToolTipRole});
    emit pausedCountChanged(pausedCount());
}

QString ConnectionWindowManager::pausedReadingText() const
{
    PausedReadingText::Counts counts{};
    for (const Conversation::Pause pause : pausedWindows)
        ++counts[static_cast<std::size_t>(pause)];
    return PausedReadingText::status(counts);
}

QVariant ConnectionWindowManager::data(const QModelIndex& index, int role) const
{
    if ((role == Qt::DecorationRole || role == Qt::ToolTipRole) && index.isValid() && index.row() < rowIds.size() &&
        pausedWindows.contains(rowIds.at(index.row()))) {
        if (role == Qt::ToolTipRole)
            return PausedReadingText::row(pausedWindows.value(rowIds.at(index.row())));
        return mdiArea->style()->standardIcon(QStyle::SP_MediaPause);
    }
    return QStringListModel::data(index, role);
}

void ConnectionWindowManager::closeAllSessions()
{
    nextBatch.stop();
    if (listRepaintsHeld)
        holdListRepaints(false);
    for (const std::shared_ptr<Conversation>& conversation : pending)
        conversation->close();
    pending.clear();
    for (QMdiSubWindow* subWindow : std::as_const(rowWindows)) {
        if (auto* window = qobject_cast<ConnectionWindow*>(subWindow->widget()))
            window->closeSession();
    }
}

void ConnectionWindowManager::onSubWindowActivated(QMdiSubWindow* subWindow)
{
    Log::line("onWindowActivated: ", Latin1::toBytes(idOfWindow.value(subWindow)));
    const int row = getModelIndex(subWindow);
    QItemSelection selection;
    if (row >= 0)
        selection.select(index(row, 0), index(row, 0));
    QItemSelectionModel* selectionModel = treeView->selectionModel();
    if (!selectionModel)
        return;
    selectionModel->clearSelection();
    selectionModel->select(selection, QItemSelectionModel::Select);
}

void ConnectionWindowManager::onSelectionChanged(const QItemSelection& selected, const QItemSelection&)
{
    Log::line("selection changed...");
    for (const QModelIndex& index : selected.indexes()) {
        if (QMdiSubWindow* subWindow = getConnectionWindowPtr(index))
            mdiArea->setActiveSubWindow(subWindow);
    }
}

int ConnectionWindowManager::getModelIndex(QMdiSubWindow* subWindow)
{
    const auto found = idOfWindow.constFind(subWindow);
    return found == idOfWindow.cend() ? -1 : rowOf(found.value());
}

QMdiSubWindow* ConnectionWindowManager::getConnectionWindowPtr(const QModelIndex& index)
{
    const int row = index.row();
    Log::line("getConnectionWindowPtr: row number: ", row);
    if (row < 0 || row >= rowWindows.size())
        return nullptr;
    return rowWindows.at(row);
}

bool ConnectionWindowManager::setData(const QModelIndex& index, const QVariant& value, int)
{
    if (!index.isValid())
        return false;
    return changeWindowName(index, value.toString());
}

bool ConnectionWindowManager::changeWindowName(const QModelIndex& index, const QString& name)
{
    Log::line("setting new window name to: ", Latin1::toBytes(name));
    QMdiSubWindow* subWindow = getConnectionWindowPtr(index);
    if (!subWindow)
        return false;
    subWindow->setWindowTitle(name);
    setRowTitle(index.row(), name);
    return true;
}

void ConnectionWindowManager::onWindowInactive(QString endpoint)
{
    Log::line("onWindowInactive: ", Latin1::toBytes(endpoint));
    const int row = rowOf(endpoint);
    if (row < 0) {
        Log::line("no such window in windowsConnectionManager: ", Latin1::toBytes(endpoint));
        return;
    }
    QMdiSubWindow* subWindow = rowWindows.at(row);
    subWindow->setWindowTitle(subWindow->windowTitle() + "(inactive)");
    setRowTitle(row, subWindow->windowTitle());
}

void ConnectionWindowManager::onTlsHandshakeFailed(QString endpoint, QString reason)
{
    const int row = rowOf(endpoint);
    if (row < 0)
        return;
    QMdiSubWindow* subWindow = rowWindows.at(row);
    subWindow->setWindowTitle(subWindow->windowTitle() + " (TLS handshake failed: " + reason + ")");
    setRowTitle(row, subWindow->windowTitle());
}

void ConnectionWindowManager::onWindowDestroyed(QString endpoint)
{
    Log::line("onWindowDestroyed: ", Latin1::toBytes(endpoint));
    if (pausedWindows.remove(endpoint))
        emit pausedCountChanged(pausedCount());
    const int row = rowOf(endpoint);
    if (row >= 0) {
        idOfWindow.remove(rowWindows.at(row));
        rowIds.removeAt(row);
        rowWindows.removeAt(row);
        removeRows(row, 1);
    }
    if (rowIds.isEmpty())
        emit onLastSubwindowClosed();
    Log::line("ConnectionWindowManager size: ", rowIds.size());
}
