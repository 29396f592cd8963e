#include "ConnectionWindowManager.h"

#include "ConnectionWindow.h"
#include "Latin1.h"
#include "Log.h"
#include "ProtocolBase.h"

#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTreeView>

ConnectionWindowManager::ConnectionWindowManager(QMdiArea* mdiArea, QTreeView* treeView)
    : QStringListModel(nullptr)
    , mdiArea(mdiArea)
    , treeView(treeView)
{
    connect(mdiArea, &QMdiArea::subWindowActivated, this, &ConnectionWindowManager::onSubWindowActivated);
}

// Two open windows can show the same endpoint: the same client port from two
// local addresses, or a client that reconnected while its ended window is
// still open. The second gets "#2" appended, and so on; titles keep the bare
// endpoint text.
QString ConnectionWindowManager::uniqueIdentifier(const QString& endpoint) const
{
    QString id = endpoint;
    for (int n = 2; subWindows.contains(id); ++n)
        id = QString("%1#%2").arg(endpoint).arg(n);
    return id;
}

void ConnectionWindowManager::createConnectionWindow(boost::shared_ptr<ProtocolBase> protocol)
{
    const QString id = uniqueIdentifier(Latin1::toQString(protocol->getEndpointString()));
    auto* window = new ConnectionWindow(mdiArea, protocol, id);
    connect(window, &ConnectionWindow::onWindowDestroying, this, &ConnectionWindowManager::onWindowDestroyed);
    connect(window, &ConnectionWindow::onWindowInactive, this, &ConnectionWindowManager::onWindowInactive);

    QMdiSubWindow* subWindow = mdiArea->addSubWindow(window);
    subWindows.insert(id, subWindow);
    subWindow->show();
    updateDataModel();
    if (subWindows.size() == 1)
        emit onFirstSubwindowCreated();

    window->start();
}

void ConnectionWindowManager::closeAllSessions()
{
    for (QMdiSubWindow* subWindow : std::as_const(subWindows)) {
        if (auto* window = qobject_cast<ConnectionWindow*>(subWindow->widget()))
            window->closeSession();
    }
}

void ConnectionWindowManager::updateDataModel()
{
    titles.clear();
    for (QMdiSubWindow* subWindow : std::as_const(subWindows)) {
        const QString title = subWindow->windowTitle();
        Log::line("updateDataModel adding ", Latin1::toBytes(title));
        titles.append(title);
    }
    setStringList(titles);
    onSubWindowActivated(mdiArea->activeSubWindow());
}

void ConnectionWindowManager::onSubWindowActivated(QMdiSubWindow* subWindow)
{
    Log::line("onWindowActivated: ", Latin1::toBytes(subWindows.key(subWindow)));
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
    int row = 0;
    for (auto it = subWindows.cbegin(); it != subWindows.cend(); ++it, ++row) {
        if (it.value() == subWindow)
            return row;
    }
    return -1;
}

QMdiSubWindow* ConnectionWindowManager::getConnectionWindowPtr(const QModelIndex& index)
{
    const int row = index.row();
    Log::line("getConnectionWindowPtr: row number: ", row);
    if (row < 0 || row >= subWindows.size())
        return nullptr;
    return std::next(subWindows.cbegin(), row).value();
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
    updateDataModel();
    return true;
}

void ConnectionWindowManager::onWindowInactive(QString endpoint)
{
    Log::line("onWindowInactive: ", Latin1::toBytes(endpoint));
    QMdiSubWindow* subWindow = subWindows.value(endpoint);
    if (!subWindow) {
        Log::line("no such window in windowsConnectionManager: ", Latin1::toBytes(endpoint));
        return;
    }
    subWindow->setWindowTitle(subWindow->windowTitle() + "(inactive)");
    updateDataModel();
}

void ConnectionWindowManager::onWindowDestroyed(QString endpoint)
{
    Log::line("onWindowDestroyed: ", Latin1::toBytes(endpoint));
    subWindows.remove(endpoint);
    updateDataModel();
    if (subWindows.isEmpty())
        emit onLastSubwindowClosed();
    Log::line("ConnectionWindowManager size: ", subWindows.size());
}
