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

#include "Conversation.h"
#include "FrameClock.h"
#include "Transcript.h"

#include <boost/shared_ptr.hpp>

#include <deque>
#include <memory>

class ConnectionWindow;
class ProtocolBase;
class QMdiArea;
class QMdiSubWindow;
class QTreeView;

// Opens one sub-window per connection and is the model of the "Current
// Sessions" list: one row per open window, in identifier order, kept in step
// with the active sub-window both ways. A row whose connection's reading is
// paused (the transcript's file cannot be written) is marked. Its frame clock
// paces the drawing of every window.
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

    // Starts recording the connection and queues it; its window comes on a
    // later turn of the event loop.
    void createConnectionWindow(boost::shared_ptr<ProtocolBase> protocol);
    // The memory budget and file of the transcripts of connections from now on.
    void setTranscriptLimits(const TranscriptLimits& limits) { transcriptLimits = limits; }
    // Windows whose connection's reading is paused.
    int pausedCount() const { return static_cast<int>(pausedWindows.size()); }
    // What the status bar says of them; empty when there are none.
    QString pausedReadingText() const;
    // Closes the connections of the windows and those still waiting for one.
    void closeAllSessions();
    // Connections waiting for their window.
    int pendingWindowCount() const { return static_cast<int>(pending.size()); }

    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool changeWindowName(const QModelIndex& index, const QString& name);
    QMdiSubWindow* getConnectionWindowPtr(const QModelIndex& index);
    int getModelIndex(QMdiSubWindow* subWindow);

signals:
    void onFirstSubwindowCreated();
    void onLastSubwindowClosed();
    void pausedCountChanged(int paused);

public slots:
    void onWindowDestroyed(QString endpoint);
    void onWindowInactive(QString endpoint);
    void onTlsHandshakeFailed(QString endpoint, QString reason);
    void onSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void onSubWindowActivated(QMdiSubWindow* subWindow);

private:
    void createPendingWindows();
    void createWindow(std::shared_ptr<Conversation> conversation);
    void onReadingPaused(const QString& id, Conversation::Pause pause);
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
    std::deque<std::shared_ptr<Conversation>> pending;
    TranscriptLimits transcriptLimits;
    FrameClock frameClock;
    QHash<QString, Conversation::Pause> pausedWindows;
    // Brings the next batch after the event loop has run; see createPendingWindows.
    QTimer nextBatch;
    // Windows drawn on screen before they had widgets, in the order drawn.
    QList<QPointer<ConnectionWindow>> seenWithoutWidgets;
    // While a burst is worked off, the session list and the tabs are drawn
    // only now and then; see createPendingWindows.
    bool listRepaintsHeld = false;
    QElapsedTimer listRepaintsHeldFor;
};
