#include "AttributesEditor.h"

#include "AttributesModel.h"
#include "ProtocolBase.h"

AttributesEditor::AttributesEditor(boost::shared_ptr<ProtocolBase> protocol, QWidget* parent)
    : QWidget(parent)
    , model(nullptr)
    , protocol(std::move(protocol))
{
    setupUi(this);
    model = new AttributesModel(this);
    tableView->setModel(model);
    this->protocol->setAttributes(model->getAttributes());

    connect(toolButton_1, &QToolButton::pressed, this, &AttributesEditor::createAttribute);
    connect(toolButton_2, &QToolButton::pressed, this, &AttributesEditor::removeAttribute);
    connect(tableView, &AttributesTableView::createAttributeSignal, this, &AttributesEditor::createAttribute);
    connect(tableView, &AttributesTableView::deleteAttributeSignal, this, &AttributesEditor::removeAttribute);
    connect(model, &AttributesModel::dataChanged, this, &AttributesEditor::dataChanged);
}

void AttributesEditor::createAttribute()
{
    model->createAttribute(tableView->currentIndex());
}

void AttributesEditor::removeAttribute()
{
    model->removeAttribute(tableView->currentIndex());
}

void AttributesEditor::dataChanged(QModelIndex, QModelIndex)
{
    protocol->setAttributes(model->getAttributes());
}
