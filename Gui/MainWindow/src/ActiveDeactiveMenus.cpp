#include "ActiveDeactiveMenus.h"

#include "ui_MainWindow.h"

ActiveDeactiveMenus::ActiveDeactiveMenus(Ui::MainWindow* ui)
    : ui(ui)
{
    onLastSubwindowClosed();
}

void ActiveDeactiveMenus::onFirstSubwindowCreated()
{
    setWindowActionsEnabled(true);
}

void ActiveDeactiveMenus::onLastSubwindowClosed()
{
    setWindowActionsEnabled(false);
}

void ActiveDeactiveMenus::setWindowActionsEnabled(bool enabled)
{
    ui->tileWindows->setEnabled(enabled);
    ui->closeActiveWindow->setEnabled(enabled);
    ui->closeAll->setEnabled(enabled);
    ui->cascadeSubWindows->setEnabled(enabled);
    ui->saveConversationAction->setEnabled(enabled);
    ui->saveAsRulesAction->setEnabled(enabled);
}
