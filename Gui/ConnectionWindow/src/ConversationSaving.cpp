#include "ConversationSaving.h"

#include "FileDialogs.h"
#include "Log.h"
#include "TranscriptSaver.h"

#include <QFile>
#include <QMessageBox>

namespace ConversationSaving
{
QString save(const Transcript& transcript, const QString& path, Format format)
{
    const std::string file = QFile::encodeName(path).toStdString();
    std::string error;
    const bool saved = format == Format::ReceivedBytes ? saveReceivedBytes(transcript, file, error)
                                                       : saveAsText(transcript, file, error);
    if (!saved)
        return QString::fromStdString(error);
    Log::line("conversation saved to ", file);
    return QString();
}

void askAndSave(QWidget* parent, const Transcript& transcript)
{
    const QString rawFilter = QStringLiteral("Received bytes, exactly as they arrived (*)");
    const QString textFilter = QStringLiteral("Whole conversation as text (*.txt)");
    QString chosenFilter = rawFilter;
    const QString path =
        FileDialogs::saveFile(parent, QStringLiteral("Save Conversation"), {rawFilter, textFilter}, &chosenFilter);
    if (path.isEmpty())
        return;
    const QString error =
        save(transcript, path, chosenFilter == textFilter ? Format::TranscriptText : Format::ReceivedBytes);
    if (!error.isEmpty())
        QMessageBox::warning(parent, QStringLiteral("Save Conversation"),
                             QStringLiteral("Couldn't save the conversation to %1: %2").arg(path, error));
}
}
