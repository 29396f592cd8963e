#include "RulesWindow.h"

#include "FileDialogs.h"
#include "RuleBook.h"
#include "RuleEditDialog.h"
#include "RuleTableModel.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QVBoxLayout>

RulesWindow::RulesWindow(RuleBook& book, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , book(book)
{
    setWindowTitle(QStringLiteral("Rules"));
    setObjectName(QStringLiteral("RulesWindow"));
    build();
    showProblems(book.loadError());
    hitsTimer.setInterval(hitsIntervalMs);
    connect(&hitsTimer, &QTimer::timeout, model, &RuleTableModel::refreshHits);
    resize(900, 400);
}

void RulesWindow::showEvent(QShowEvent* event)
{
    model->refreshHits();
    hitsTimer.start();
    QWidget::showEvent(event);
}

void RulesWindow::hideEvent(QHideEvent* event)
{
    hitsTimer.stop();
    QWidget::hideEvent(event);
}

RulesWindow* RulesWindow::showFor(QWidget* mainWindow)
{
    static QPointer<RulesWindow> window;
    if (!window || window->parentWidget() != mainWindow)
        window = new RulesWindow(RuleBook::shared(), mainWindow);
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

void RulesWindow::build()
{
    auto* layout = new QVBoxLayout(this);
    model = new RuleTableModel(book, this);
    table = new QTableView(this);
    table->setObjectName(QStringLiteral("rulesTable"));
    table->setModel(model);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->horizontalHeader()->setSectionResizeMode(RuleTableModel::Actions, QHeaderView::Stretch);
    table->verticalHeader()->hide();
    connect(table, &QTableView::doubleClicked, this, &RulesWindow::editRule);
    layout->addWidget(table, 1);

    auto* buttons = new QHBoxLayout;
    const auto button = [this, buttons](const QString& text, const char* name, auto slot) {
        auto* made = new QPushButton(text, this);
        made->setObjectName(QLatin1String(name));
        connect(made, &QPushButton::clicked, this, slot);
        buttons->addWidget(made);
    };
    button(QStringLiteral("Add..."), "addRuleButton", [this] { addRule(); });
    button(QStringLiteral("Edit..."), "editRuleButton", [this] { editRule(); });
    button(QStringLiteral("Remove"), "removeRuleButton", [this] { removeRule(); });
    button(QStringLiteral("Up"), "ruleUpButton", [this] { moveRule(-1); });
    button(QStringLiteral("Down"), "ruleDownButton", [this] { moveRule(1); });
    buttons->addStretch();
    buttons->addWidget(new QLabel(QStringLiteral("Bytes kept for matching:"), this));
    auto* limit = new QSpinBox(this);
    limit->setObjectName(QStringLiteral("unconsumedLimitBox"));
    limit->setToolTip(QStringLiteral("Received bytes that wait for a match on a connection, at most; beyond, the "
                                     "oldest are no longer matched (they stay in the conversation). For new "
                                     "connections."));
    limit->setRange(static_cast<int>(RuleBook::minUnconsumedLimit / 1024),
                    static_cast<int>(RuleBook::maxUnconsumedLimit / 1024));
    limit->setSuffix(QStringLiteral(" KiB"));
    limit->setValue(static_cast<int>(book.unconsumedLimit() / 1024));
    connect(limit, qOverload<int>(&QSpinBox::valueChanged), this,
            [this](int kib) { book.setUnconsumedLimit(static_cast<std::size_t>(kib) * 1024); });
    buttons->addWidget(limit);
    button(QStringLiteral("Import..."), "importButton", [this] { chooseImport(); });
    button(QStringLiteral("Export..."), "exportButton", [this] { chooseExport(); });
    layout->addLayout(buttons);

    problems = new QLabel(this);
    problems->setObjectName(QStringLiteral("problemsLabel"));
    problems->setWordWrap(true);
    problems->setTextInteractionFlags(Qt::TextSelectableByMouse);
    problems->setStyleSheet(QStringLiteral("color: red"));
    layout->addWidget(problems);
}

int RulesWindow::currentRow() const
{
    const QModelIndexList rows = table->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void RulesWindow::selectRow(int row)
{
    if (row >= 0 && row < model->rowCount())
        table->selectRow(row);
}

void RulesWindow::showProblems(const QString& text)
{
    problems->setText(text);
    problems->setVisible(!text.isEmpty());
}

QString RulesWindow::problemsText() const
{
    return problems->text();
}

// A new rule goes after the chosen one, or at the end.
void RulesWindow::addRule()
{
    Rule rule;
    rule.name = "rule " + std::to_string(book.rules().size() + 1);
    RuleEditDialog dialog(rule, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    std::vector<Rule> rules = book.rules();
    const int row = currentRow() < 0 ? static_cast<int>(rules.size()) : currentRow() + 1;
    rules.insert(rules.begin() + row, dialog.rule());
    showProblems(book.setRules(std::move(rules)));
    selectRow(row);
}

void RulesWindow::editRule()
{
    const int row = currentRow();
    if (row < 0)
        return;
    RuleEditDialog dialog(book.rules()[static_cast<std::size_t>(row)], this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    std::vector<Rule> rules = book.rules();
    rules[static_cast<std::size_t>(row)] = dialog.rule();
    showProblems(book.setRules(std::move(rules)));
    selectRow(row);
}

void RulesWindow::removeRule()
{
    const int row = currentRow();
    if (row < 0)
        return;
    std::vector<Rule> rules = book.rules();
    rules.erase(rules.begin() + row);
    showProblems(book.setRules(std::move(rules)));
    selectRow(std::min(row, model->rowCount() - 1));
}

void RulesWindow::moveRule(int by)
{
    const int row = currentRow();
    const int to = row + by;
    if (row < 0 || to < 0 || to >= model->rowCount())
        return;
    std::vector<Rule> rules = book.rules();
    std::swap(rules[static_cast<std::size_t>(row)], rules[static_cast<std::size_t>(to)]);
    showProblems(book.setRules(std::move(rules)));
    selectRow(to);
}

// The file's rules follow the others; a file that cannot be read adds none.
void RulesWindow::importFrom(const QString& path)
{
    const RuleBook::ImportReport report = book.importFile(path);
    if (!report.error.isEmpty()) {
        showProblems(QStringLiteral("%1 was not imported: %2").arg(path, report.error));
        return;
    }
    QString text;
    if (!report.problems.isEmpty())
        text = QStringLiteral("Imported %1 rules from %2; those with a problem are switched off:\n%3")
                   .arg(report.added)
                   .arg(path, report.problems.join(QLatin1Char('\n')));
    showProblems(text);
}

void RulesWindow::exportTo(const QString& path)
{
    const QString error = book.exportFile(path);
    showProblems(error.isEmpty() ? QString() : QStringLiteral("Couldn't export to %1: %2").arg(path, error));
}

void RulesWindow::chooseImport()
{
    const QString path = FileDialogs::openFile(this, QStringLiteral("Import Rules"));
    if (!path.isEmpty())
        importFrom(path);
}

void RulesWindow::chooseExport()
{
    const QString filter = QStringLiteral("Rule files (*.json)");
    QString chosen = filter;
    const QString path = FileDialogs::saveFile(this, QStringLiteral("Export Rules"), {filter}, &chosen);
    if (!path.isEmpty())
        exportTo(path);
}
