#pragma once

#include "Rule.h"

#include <QDialog>

#include <vector>

class ActionEditor;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QSpinBox;

// Edits one rule: its name, whether it is on, the port it is limited to,
// its condition and its actions in order. OK checks the rule as the
// connections would use it, and keeps the dialog open, saying what is wrong
// and where, until it can be used.
class RuleEditDialog : public QDialog
{
    Q_OBJECT

public:
    RuleEditDialog(const Rule& rule, QWidget* parent);

    Rule rule() const;

    void accept() override;

private:
    void buildRuleFields();
    void buildActionList();
    void conditionKindChanged();
    void showCurrentAction();
    void actionEdited();
    void addAction();
    void removeAction();
    void moveAction(int by);
    void fillActionList(int current);

    std::vector<Action> actions;
    QLineEdit* name = nullptr;
    QCheckBox* enabled = nullptr;
    QSpinBox* port = nullptr;
    QComboBox* conditionKind = nullptr;
    QLineEdit* conditionValue = nullptr;
    QComboBox* conditionMode = nullptr;
    QSpinBox* nth = nullptr;
    QListWidget* actionList = nullptr;
    QComboBox* newActionKind = nullptr;
    ActionEditor* actionEditor = nullptr;
    QLabel* problem = nullptr;
};
