#pragma once

#include <QObject>

namespace Ui
{
class MainWindow;
}

// Enables the window-arranging actions only while a connection window exists.
class ActiveDeactiveMenus : public QObject
{
    Q_OBJECT

public:
    explicit ActiveDeactiveMenus(Ui::MainWindow* ui);

public slots:
    void onFirstSubwindowCreated();
    void onLastSubwindowClosed();

private:
    void setWindowActionsEnabled(bool enabled);

    Ui::MainWindow* ui;
};
