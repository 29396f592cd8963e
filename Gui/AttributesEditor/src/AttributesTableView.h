#pragma once

#include <QTableView>

class QAction;
class QMenu;

// The table of attributes, with a context menu to create and delete rows.
class AttributesTableView : public QTableView
{
    Q_OBJECT

public:
    explicit AttributesTableView(QWidget* parent = nullptr);

    QMenu* getContextMenu() const { return contextMenu; }

signals:
    void createAttributeSignal();
    void deleteAttributeSignal();

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private slots:
    void createAttributeSlot();
    void deleteAttributeSlot();

private:
    QMenu* contextMenu;
    QAction* createAttributeAction;
    QAction* deleteAttributeAction;
};
