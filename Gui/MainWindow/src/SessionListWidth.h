#pragma once

#include <QObject>
#include <QTimer>

class QDockWidget;
class QMainWindow;
class QTreeView;

// Widens the dock of the session list to its longest row while there is room
// (up to a third of the main window), so that titles such as "Connection
// from: [::1]:50312(inactive)" show whole. It looks a moment after rows
// change, once for a whole burst of new rows.
class SessionListWidth : public QObject
{
public:
    SessionListWidth(QMainWindow* window, QDockWidget* dock, QTreeView* list);

private:
    void fit();

    QMainWindow* window;
    QDockWidget* dock;
    QTreeView* list;
    QTimer pending;
};
