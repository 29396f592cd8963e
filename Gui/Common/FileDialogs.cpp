#include "FileDialogs.h"

#include <QAbstractFileIconProvider>
#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QStyle>

namespace
{
// Icons and type names by what the file system says of a file, never by its contents.
class NameOnlyIconProvider : public QAbstractFileIconProvider
{
public:
    QIcon icon(IconType type) const override
    {
        return standard(type == Folder || type == Drive ? QStyle::SP_DirIcon : QStyle::SP_FileIcon);
    }

    QIcon icon(const QFileInfo& info) const override
    {
        return standard(info.isDir() ? QStyle::SP_DirIcon : QStyle::SP_FileIcon);
    }

    QString type(const QFileInfo& info) const override
    {
        if (info.isDir())
            return QStringLiteral("Folder");
        const QString suffix = info.suffix();
        return suffix.isEmpty() ? QStringLiteral("File") : suffix.toUpper() + QStringLiteral(" File");
    }

private:
    static QIcon standard(QStyle::StandardPixmap pixmap) { return QApplication::style()->standardIcon(pixmap); }
};

void prepare(QFileDialog& dialog)
{
    static NameOnlyIconProvider provider;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setIconProvider(&provider);
}
}

namespace FileDialogs
{
QString openFile(QWidget* parent, const QString& title)
{
    QFileDialog dialog(parent, title);
    prepare(dialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.selectedFiles().value(0);
}

QString saveFile(QWidget* parent, const QString& title, const QStringList& filters, QString* chosenFilter)
{
    QFileDialog dialog(parent, title);
    prepare(dialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters(filters);
    if (chosenFilter && !chosenFilter->isEmpty())
        dialog.selectNameFilter(*chosenFilter);
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    if (chosenFilter)
        *chosenFilter = dialog.selectedNameFilter();
    return dialog.selectedFiles().value(0);
}
}
