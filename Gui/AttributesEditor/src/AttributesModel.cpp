#include "AttributesModel.h"

#include "Latin1.h"
#include "Log.h"

AttributesModel::AttributesModel(QObject* parent)
    : QAbstractTableModel(parent)
    , attributes{{"Content-Type", "text/html"}}
{
}

int AttributesModel::rowCount(const QModelIndex&) const
{
    return static_cast<int>(attributes.size());
}

int AttributesModel::columnCount(const QModelIndex&) const
{
    return 2;
}

QVariant AttributesModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return QVariant();
    const auto& [name, value] = attributes[static_cast<std::size_t>(index.row())];
    if (role == Qt::DisplayRole)
        return Latin1::toQString(index.column() == 0 ? name : value);
    if (role == Qt::ToolTipRole) {
        if (index.column() == 0)
            return QString("Attribute name");
        if (index.column() == 1)
            return QString("Attribute value");
    }
    return QVariant();
}

bool AttributesModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!index.isValid() || role != Qt::EditRole || index.row() >= rowCount())
        return false;
    const std::string text = Latin1::toBytes(value.toString());
    Log::line("Editing column ", index.column(), ", value=", text);
    auto& entry = attributes[static_cast<std::size_t>(index.row())];
    if (index.column() == 0)
        entry.first = text;
    else if (index.column() == 1)
        entry.second = text;
    else
        return false;
    emit dataChanged(index, index);
    return true;
}

QVariant AttributesModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return QVariant();
    if (orientation == Qt::Horizontal)
        return section == 0 ? QString("Attribute") : QString("Value");
    return section + 1;
}

// Inserts exactly one default row at `row`, or at the top when there is no
// current row (row < 0).
bool AttributesModel::insertRows(int row, int, const QModelIndex& parent)
{
    const int position = (row < 0 || row > rowCount()) ? (row < 0 ? 0 : rowCount()) : row;
    beginInsertRows(parent, position, position);
    attributes.insert(attributes.begin() + position, {"New Attribute", "AttributeValue"});
    endInsertRows();
    emit dataChanged(QModelIndex(), QModelIndex());
    return true;
}

// Removes exactly the one row at `row`.
bool AttributesModel::removeRows(int row, int, const QModelIndex& parent)
{
    if (row < 0 || row >= rowCount())
        return false;
    beginRemoveRows(parent, row, row);
    attributes.erase(attributes.begin() + row);
    endRemoveRows();
    emit dataChanged(QModelIndex(), QModelIndex());
    return true;
}

Qt::ItemFlags AttributesModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::ItemIsEnabled;
    return QAbstractTableModel::flags(index) | Qt::ItemIsEditable;
}

ProtocolBase::AttributeList AttributesModel::getAttributes() const
{
    return attributes;
}

void AttributesModel::createAttribute(const QModelIndex& index)
{
    insertRows(index.row(), 1, QModelIndex());
}

void AttributesModel::removeAttribute(const QModelIndex& index)
{
    if (index.isValid())
        removeRows(index.row(), 1, QModelIndex());
}
