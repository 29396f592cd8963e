#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// File dialogs that never read a file's contents to draw it. Qt's own
// dialog picks an icon and a type name for every file by its MIME type,
// which may mean reading the file: a file such as /proc/kmsg never ends,
// and the dialog, and the GUI thread with it, would wait for good. These
// dialogs name files by their name and kind alone.
namespace FileDialogs
{
QString openFile(QWidget* parent, const QString& title);
// filters as QFileDialog takes them; chosenFilter starts the choice and
// returns the one taken.
QString saveFile(QWidget* parent, const QString& title, const QStringList& filters, QString* chosenFilter);
}
