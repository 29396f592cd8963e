#pragma once

#include "ProtocolBase.h"

#include <QAbstractTableModel>

// The attribute list of one connection as a two-column table: name, value.
class AttributesModel : public QAbstractTableModel
{
public:
    explicit AttributesModel(QObject* parent);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool insertRows(int row, int count, const QModelIndex& parent = QModelIndex()) override;
    bool removeRows(int row, int count, const QModelIndex& parent = QModelIndex()) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    ProtocolBase::AttributeList getAttributes() const;
    void createAttribute(const QModelIndex& index);
    void removeAttribute(const QModelIndex& index);

private:
    ProtocolBase::AttributeList attributes;
};
