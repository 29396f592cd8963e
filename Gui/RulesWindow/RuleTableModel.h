#pragma once

#include <QAbstractTableModel>

class RuleBook;

// The Rules window's table: one row per rule of the book, in order, with its
// name (checked when enabled), the port it is limited to, its condition, its
// actions and how often it fired since the rules last changed. A rule that
// cannot be used shows in red, with why in its tool tip. Unchecking a rule
// saves the book at once.
class RuleTableModel : public QAbstractTableModel
{
public:
    enum Column { Name, Port, Condition, Actions, Hits, ColumnCount };

    RuleTableModel(RuleBook& book, QObject* parent);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

    // The hits go on counting on the connections' threads: redrawn when asked.
    void refreshHits();

private:
    QVariant display(int row, int column) const;

    RuleBook& book;
};
