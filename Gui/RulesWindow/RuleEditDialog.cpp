#include "RuleEditDialog.h"

#include "ActionEditor.h"
#include "Latin1.h"
#include "RuleSet.h"
#include "RuleText.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace
{
// The condition box's entries: the kinds in their order, then "on a new connection".
constexpr int onConnectEntry = 5;

template <typename Widget>
Widget* named(Widget* widget, const char* name)
{
    widget->setObjectName(QLatin1String(name));
    return widget;
}
}

RuleEditDialog::RuleEditDialog(const Rule& rule, QWidget* parent)
    : QDialog(parent)
    , actions(rule.actions)
{
    setWindowTitle(QStringLiteral("Rule"));
    auto* layout = new QVBoxLayout(this);
    buildRuleFields();
    buildActionList();
    problem = named(new QLabel(this), "problemLabel");
    problem->setWordWrap(true);
    problem->setStyleSheet(QStringLiteral("color: red"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &RuleEditDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &RuleEditDialog::reject);
    layout->addWidget(findChild<QGroupBox*>(QStringLiteral("ruleGroup")));
    layout->addWidget(findChild<QGroupBox*>(QStringLiteral("actionsGroup")), 1);
    layout->addWidget(problem);
    layout->addWidget(buttons);

    name->setText(Latin1::toQString(rule.name));
    enabled->setChecked(rule.enabled);
    port->setValue(rule.port);
    conditionKind->setCurrentIndex(rule.condition.onConnect ? onConnectEntry
                                                            : static_cast<int>(rule.condition.kind));
    conditionValue->setText(Latin1::toQString(rule.condition.value));
    conditionMode->setCurrentIndex(static_cast<int>(rule.condition.mode));
    nth->setValue(static_cast<int>(rule.condition.nth));
    conditionKindChanged();
    fillActionList(actions.empty() ? -1 : 0);
}

void RuleEditDialog::buildRuleFields()
{
    auto* group = named(new QGroupBox(QStringLiteral("Rule"), this), "ruleGroup");
    auto* form = new QFormLayout(group);
    name = named(new QLineEdit(group), "nameEdit");
    form->addRow(QStringLiteral("Name:"), name);
    enabled = named(new QCheckBox(QStringLiteral("Enabled"), group), "enabledBox");
    form->addRow(QString(), enabled);
    port = named(new QSpinBox(group), "portBox");
    port->setRange(0, 65535);
    port->setSpecialValueText(QStringLiteral("all ports"));
    form->addRow(QStringLiteral("Listening port:"), port);
    conditionKind = named(new QComboBox(group), "conditionKindBox");
    conditionKind->addItems({QStringLiteral("contains"), QStringLiteral("starts with"), QStringLiteral("equals"),
                             QStringLiteral("regular expression"), QStringLiteral("hex bytes"),
                             QStringLiteral("on a new connection")});
    form->addRow(QStringLiteral("When the data:"), conditionKind);
    conditionValue = named(new QLineEdit(group), "conditionValueEdit");
    form->addRow(QStringLiteral("Value:"), conditionValue);
    conditionMode = named(new QComboBox(group), "conditionModeBox");
    conditionMode->addItems({QStringLiteral("Text"), QStringLiteral("Escapes"), QStringLiteral("Hex")});
    form->addRow(QStringLiteral("Value read as:"), conditionMode);
    nth = named(new QSpinBox(group), "nthBox");
    nth->setRange(0, 1000000);
    nth->setSpecialValueText(QStringLiteral("every time"));
    form->addRow(QStringLiteral("Only the Nth time:"), nth);
    connect(conditionKind, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &RuleEditDialog::conditionKindChanged);
}

void RuleEditDialog::buildActionList()
{
    auto* group = named(new QGroupBox(QStringLiteral("Actions, in order"), this), "actionsGroup");
    auto* layout = new QVBoxLayout(group);
    actionList = named(new QListWidget(group), "actionList");
    layout->addWidget(actionList);
    auto* buttons = new QHBoxLayout;
    newActionKind = named(new QComboBox(group), "newActionKindBox");
    newActionKind->addItems({QStringLiteral("reply"), QStringLiteral("wait"), QStringLiteral("send in pieces"),
                             QStringLiteral("send a file"), QStringLiteral("close sending"), QStringLiteral("reset"),
                             QStringLiteral("stop reading")});
    buttons->addWidget(newActionKind);
    const auto button = [group, buttons](const QString& text, const char* objectName) {
        auto* made = named(new QPushButton(text, group), objectName);
        buttons->addWidget(made);
        return made;
    };
    connect(button(QStringLiteral("Add"), "addActionButton"), &QPushButton::clicked, this, &RuleEditDialog::addAction);
    connect(button(QStringLiteral("Remove"), "removeActionButton"), &QPushButton::clicked, this,
            &RuleEditDialog::removeAction);
    connect(button(QStringLiteral("Up"), "actionUpButton"), &QPushButton::clicked, this, [this] { moveAction(-1); });
    connect(button(QStringLiteral("Down"), "actionDownButton"), &QPushButton::clicked, this,
            [this] { moveAction(1); });
    buttons->addStretch();
    layout->addLayout(buttons);
    actionEditor = named(new ActionEditor(group), "actionEditor");
    layout->addWidget(actionEditor);
    connect(actionList, &QListWidget::currentRowChanged, this, &RuleEditDialog::showCurrentAction);
    connect(actionEditor, &ActionEditor::changed, this, &RuleEditDialog::actionEdited);
}

void RuleEditDialog::conditionKindChanged()
{
    const int entry = conditionKind->currentIndex();
    conditionValue->setEnabled(entry != onConnectEntry);
    conditionMode->setEnabled(entry <= static_cast<int>(ConditionKind::Equals));
    nth->setEnabled(entry != onConnectEntry);
}

void RuleEditDialog::fillActionList(int current)
{
    actionList->clear();
    for (const Action& action : actions)
        actionList->addItem(RuleText::action(action));
    actionList->setCurrentRow(current);
    showCurrentAction();
}

void RuleEditDialog::showCurrentAction()
{
    const int row = actionList->currentRow();
    actionEditor->setVisible(row >= 0);
    if (row >= 0 && row < static_cast<int>(actions.size()))
        actionEditor->showAction(actions[static_cast<std::size_t>(row)]);
}

void RuleEditDialog::actionEdited()
{
    const int row = actionList->currentRow();
    if (row < 0 || row >= static_cast<int>(actions.size()))
        return;
    actions[static_cast<std::size_t>(row)] = actionEditor->edited();
    actionList->item(row)->setText(RuleText::action(actions[static_cast<std::size_t>(row)]));
}

void RuleEditDialog::addAction()
{
    Action action;
    action.kind = static_cast<ActionKind>(newActionKind->currentIndex());
    if (action.kind == ActionKind::SendInPieces)
        action.pieceSize = 1;
    const int row = actionList->currentRow() + 1;
    actions.insert(actions.begin() + row, action);
    fillActionList(row);
}

void RuleEditDialog::removeAction()
{
    const int row = actionList->currentRow();
    if (row < 0)
        return;
    actions.erase(actions.begin() + row);
    fillActionList(std::min(row, static_cast<int>(actions.size()) - 1));
}

void RuleEditDialog::moveAction(int by)
{
    const int row = actionList->currentRow();
    const int to = row + by;
    if (row < 0 || to < 0 || to >= static_cast<int>(actions.size()))
        return;
    std::swap(actions[static_cast<std::size_t>(row)], actions[static_cast<std::size_t>(to)]);
    fillActionList(to);
}

Rule RuleEditDialog::rule() const
{
    Rule made;
    made.name = Latin1::toBytes(name->text());
    made.enabled = enabled->isChecked();
    made.port = static_cast<std::uint16_t>(port->value());
    const int entry = conditionKind->currentIndex();
    made.condition.onConnect = entry == onConnectEntry;
    if (!made.condition.onConnect) {
        made.condition.kind = static_cast<ConditionKind>(entry);
        made.condition.value = Latin1::toBytes(conditionValue->text());
        if (entry <= static_cast<int>(ConditionKind::Equals))
            made.condition.mode = static_cast<InputMode>(conditionMode->currentIndex());
        made.condition.nth = static_cast<unsigned>(nth->value());
    }
    made.actions = actions;
    return made;
}

// Checked as the connections would build it; a rule that could not be used
// is not taken.
void RuleEditDialog::accept()
{
    std::vector<RuleProblem> problems;
    RuleSet::build({rule()}, problems);
    if (problems.empty()) {
        QDialog::accept();
        return;
    }
    QStringList texts;
    for (const RuleProblem& one : problems) {
        // The dialog's rule: its place and name go without saying here.
        RuleProblem shown = one;
        shown.rule = RuleProblem::npos;
        shown.ruleName.clear();
        texts.append(QString::fromStdString(shown.text()));
    }
    problem->setText(texts.join(QLatin1Char('\n')));
}
