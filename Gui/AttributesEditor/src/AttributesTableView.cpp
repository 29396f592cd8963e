#include "AttributesTableView.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>

AttributesTableView::AttributesTableView(QWidget* parent)
    : QTableView(parent)
    , contextMenu(new QMenu(this))
    , createAttributeAction(new QAction("Create Attribute", this))
    , deleteAttributeAction(new QAction("Delete Attribute", this))
{
    connect(createAttributeAction, &QAction::triggered, this, &AttributesTableView::createAttributeSlot);
    connect(deleteAttributeAction, &QAction::triggered, this, &AttributesTableView::deleteAttributeSlot);
    contextMenu->addAction(createAttributeAction);
    contextMenu->addAction(deleteAttributeAction);
}

void AttributesTableView::contextMenuEvent(QContextMenuEvent* event)
{
    contextMenu->exec(event->globalPos());
}

void AttributesTableView::createAttributeSlot()
{
    emit createAttributeSignal();
}

void AttributesTableView::deleteAttributeSlot()
{
    emit deleteAttributeSignal();
}
