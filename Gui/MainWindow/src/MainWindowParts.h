#pragma once

#include <QRect>

class QAction;
class QLabel;
class QMdiArea;
class QSystemTrayIcon;
class QWidget;

// Pieces of the main window that need nothing of it but what they are given.
namespace MainWindowParts
{
// With nothing stored: two thirds of the screen, and at least 1000 x 700 where
// the screen allows, so that a connection window shows all its controls.
QRect firstPlacement();
// Until the first connection, what to do, in the middle of the empty area.
QLabel* addEmptyAreaHint(QMdiArea* area);
// The tray icon, with listening and quitting in its menu.
QSystemTrayIcon* addTrayIcon(QWidget* owner, QAction* startStopListening, QAction* quit);
}
