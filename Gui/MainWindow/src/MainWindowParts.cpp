#include "MainWindowParts.h"

#include <QAction>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QMdiArea>
#include <QMenu>
#include <QScreen>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

#include <algorithm>

namespace MainWindowParts
{
QRect firstPlacement()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    const QSize size = QSize(std::max(available.width() * 2 / 3, 1000), std::max(available.height() * 2 / 3, 700))
                           .boundedTo(available.size());
    return QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, available);
}

QLabel* addEmptyAreaHint(QMdiArea* area)
{
    auto* hint = new QLabel(
        "Start listening with the play button, then point the client you are testing at this machine's "
        "address and the port in the status bar: each connection opens a window here.",
        area->viewport());
    hint->setWordWrap(true);
    hint->setAlignment(Qt::AlignCenter);
    hint->setMargin(24);
    auto* layout = new QVBoxLayout(area->viewport());
    layout->addWidget(hint);
    return hint;
}

QSystemTrayIcon* addTrayIcon(QWidget* owner, QAction* startStopListening, QAction* quit)
{
    QIcon icon;
    icon.addPixmap(QPixmap(":/Icons/tile-window.png"), QIcon::Normal, QIcon::Off);
    auto* trayIcon = new QSystemTrayIcon(owner);
    auto* trayMenu = new QMenu(owner);
    trayMenu->addAction(startStopListening);
    trayMenu->addSeparator();
    trayMenu->addAction(quit);
    trayIcon->setContextMenu(trayMenu);
    trayIcon->setIcon(icon);
    trayIcon->show();
    return trayIcon;
}
}
