#pragma once

#include <QItemSelection>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QStringListModel>

#include <boost/shared_ptr.hpp>

class ProtocolBase;
class QMdiArea;
class QMdiSubWindow;
class QTreeView;

// Opens one sub-window per connection and is the model of the "Current
// Sessions" list: one row per open window, in identifier order, kept in step
// with the active sub-window both ways.
class ConnectionWindowManager : public QStringListModel
{
    Q_OBJECT

public:
    ConnectionWindowManager(QMdiArea* mdiArea, QTreeView* treeView);

    void createConnectionWindow(boost::shared_ptr<ProtocolBase> protocol);
    void closeAllSessions();

    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    bool changeWindowName(const QModelIndex& index, const QString& name);
    void updateDataModel();
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
    QString uniqueIdentifier(const QString& endpoint) const;

    QMdiArea* mdiArea;
    QTreeView* treeView;
    QMap<QString, QMdiSubWindow*> subWindows;
    QStringList titles;
};
