#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>

class QLabel;
class QTableView;
class RuleBook;
class RuleTableModel;

// The Rules window: the rules every connection answers by, in order (the
// first whose condition matches fires), to add, edit, remove, move and
// switch on and off, each change saved at once; Import adds a rule file's
// rules, Export writes them all. What is wrong with a file or a rule shows
// under the table. The hits are counted on the connections' threads and
// redrawn a few times a second while the window is shown.
class RulesWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr int hitsIntervalMs = 500;

    RulesWindow(RuleBook& book, QWidget* parent);

    // The one Rules window of the main window, made when first asked for.
    static RulesWindow* showFor(QWidget* mainWindow);

    void importFrom(const QString& path);
    void exportTo(const QString& path);
    QString problemsText() const;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void build();
    int currentRow() const;
    void addRule();
    void editRule();
    void removeRule();
    void moveRule(int by);
    void chooseImport();
    void chooseExport();
    void showProblems(const QString& text);
    void selectRow(int row);

    RuleBook& book;
    RuleTableModel* model = nullptr;
    QTableView* table = nullptr;
    QLabel* problems = nullptr;
    QTimer hitsTimer;
};
