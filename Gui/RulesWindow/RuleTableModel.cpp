#include "RuleTableModel.h"

#include "Latin1.h"
#include "RuleBook.h"
#include "RuleText.h"

#include <QBrush>
#include <QColor>

RuleTableModel::RuleTableModel(RuleBook& book, QObject* parent)
    : QAbstractTableModel(parent)
    , book(book)
{
    connect(&book, &RuleBook::rulesChanged, this, [this] {
        beginResetModel();
        endResetModel();
    });
}

int RuleTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(book.rules().size());
}

int RuleTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant RuleTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Name:
        return QStringLiteral("Name");
    case Port:
        return QStringLiteral("Port");
    case Condition:
        return QStringLiteral("Condition");
    case Actions:
        return QStringLiteral("Actions");
    case Hits:
        return QStringLiteral("Hits");
    }
    return QVariant();
}

QVariant RuleTableModel::display(int row, int column) const
{
    const Rule& rule = book.rules()[static_cast<std::size_t>(row)];
    switch (column) {
    case Name:
        return Latin1::toQString(rule.name);
    case Port:
        return rule.port == 0 ? QStringLiteral("all") : QString::number(rule.port);
    case Condition:
        return RuleText::condition(rule.condition);
    case Actions:
        return RuleText::actions(rule.actions);
    case Hits:
        return QVariant::fromValue<qulonglong>(book.hits(static_cast<std::size_t>(row)));
    }
    return QVariant();
}

QVariant RuleTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return QVariant();
    const auto row = static_cast<std::size_t>(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return display(index.row(), index.column());
    case Qt::CheckStateRole:
        if (index.column() == Name)
            return book.rules()[row].enabled ? Qt::Checked : Qt::Unchecked;
        return QVariant();
    case Qt::ForegroundRole:
        if (!book.problemOf(row).isEmpty())
            return QBrush(QColor(Qt::red));
        return QVariant();
    case Qt::ToolTipRole:
        return book.problemOf(row).isEmpty() ? display(index.row(), index.column()) : book.problemOf(row);
    }
    return QVariant();
}

Qt::ItemFlags RuleTableModel::flags(const QModelIndex& index) const
{
    Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    if (index.isValid() && index.column() == Name)
        flags |= Qt::ItemIsUserCheckable;
    return flags;
}

bool RuleTableModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!index.isValid() || index.column() != Name || role != Qt::CheckStateRole)
        return false;
    std::vector<Rule> rules = book.rules();
    rules[static_cast<std::size_t>(index.row())].enabled = value.toInt() == Qt::Checked;
    book.setRules(std::move(rules));
    return true;
}

void RuleTableModel::refreshHits()
{
    if (rowCount() > 0)
        emit dataChanged(index(0, Hits), index(rowCount() - 1, Hits), {Qt::DisplayRole});
}
