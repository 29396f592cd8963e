#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QItemSelection>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QStringListModel>
#include <QTimer>

#include <boost/shared_ptr.hpp>

#include <deque>

class ConnectionWindow;
class ProtocolBase;
class QMdiArea;
class QMdiSubWindow;
class QTreeView;

// Opens one sub-window per connection and is the model of the "Current
// Sessions" list: one row per open window, in identifier order, kept in step
// with the active sub-window both ways.
//
// New connections wait in a queue and get their windows a few at a time, each
// batch within a short time slice, so that a burst of clients never holds the
// GUI thread for long. Windows made while more connections wait get their
// widgets only once the burst is over and they are in sight (see
// ConnectionWindow::makeWidgets). A new window does not take the keyboard from
// the window the user is working in.
class ConnectionWindowManager : public QStringListModel
{
    Q_OBJECT

public:
    ConnectionWindowManager(QMdiArea* mdiArea, QTreeView* treeView);

    // Queues the connection; its window comes on a later turn of the event loop.
    void createConnectionWindow(boost::shared_ptr<ProtocolBase> protocol);
    // Closes the connections of the windows and those still waiting for one.
    void closeAllSessions();
    // Connections waiting for their window.
    int pendingWindowCount() const { return static_cast<int>(pending.size()); }

    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    bool changeWindowName(const QModelIndex& index, const QString& name);
    QMdiSubWindow* getConnectionWindowPtr(const QModelIndex& index);
    int getModelIndex(QMdiSubWindow* subWindow);

signals:
    void onFirstSubwindowCreated();
    void onLastSubwindowClosed();

public slots:
    void onWindowDestroyed(QString endpoint);
    void onWindowInactive(QString endpoint);
    void onSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void onSubWindowActivated(QMdiSubWindow* subWindow);

private:
    void createPendingWindows();
    void createWindow(boost::shared_ptr<ProtocolBase> protocol);
    void makeWidgetsOfSeenWindows(const QElapsedTimer& slice);
    void onSeenWithoutWidgets(ConnectionWindow* window);
    void fitIntoArea(QMdiSubWindow* subWindow);
    void showWindow(QMdiSubWindow* subWindow);
    void holdListRepaints(bool hold);
    void addRow(const QString& id, QMdiSubWindow* subWindow, const QString& title);
    void setRowTitle(int row, const QString& title);
    // The row of an identifier, or -1.
    int rowOf(const QString& id) const;
    QString uniqueIdentifier(const QString& endpoint) const;

    QMdiArea* mdiArea;
    QTreeView* treeView;
    // One entry per row: the window identifiers in ascending order, and their sub-windows.
    QStringList rowIds;
    QList<QMdiSubWindow*> rowWindows;
    QHash<QMdiSubWindow*, QString> idOfWindow;
    // Bounded by the connections the Core accepted, which the descriptor limit bounds.
    std::deque<boost::shared_ptr<ProtocolBase>> pending;
    // Brings the next batch after the event loop has run; see createPendingWindows.
    QTimer nextBatch;
    // Windows drawn on screen before they had widgets, in the order drawn.
    QList<QPointer<ConnectionWindow>> seenWithoutWidgets;
    // While a burst is worked off, the session list and the tabs are drawn
    // only now and then; see createPendingWindows.
    bool listRepaintsHeld = false;
    QElapsedTimer listRepaintsHeldFor;
};
