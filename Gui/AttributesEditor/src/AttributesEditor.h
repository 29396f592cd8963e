#pragma once

#include "ui_AttributesEditorForm.h"

#include <QModelIndex>
#include <QWidget>

#include <boost/shared_ptr.hpp>

class AttributesModel;
class ProtocolBase;

// Edits one connection's attribute list (for HTTP, its header lines) and
// hands the whole list to the protocol after every change.
class AttributesEditor : public QWidget, private Ui::AttributesEditorForm
{
    Q_OBJECT

public:
    AttributesEditor(boost::shared_ptr<ProtocolBase> protocol, QWidget* parent);

    AttributesModel* getModel() const { return model; }
    AttributesTableView* getTableView() const { return tableView; }

private slots:
    void createAttribute();
    void removeAttribute();
    void dataChanged(QModelIndex topLeft, QModelIndex bottomRight);

private:
    AttributesModel* model;
    boost::shared_ptr<ProtocolBase> protocol;
};
