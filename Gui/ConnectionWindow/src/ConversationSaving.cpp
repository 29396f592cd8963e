#include "ConversationSaving.h"

#include "AsioCaptureEndpoint.h"
#include "Conversation.h"
#include "FileDialogs.h"
#include "Log.h"
#include "RecordedEnds.h"
#include "ReplayRulesSaving.h"
#include "TranscriptSaver.h"

#include <QFile>
#include <QMessageBox>

namespace ConversationSaving
{
namespace
{
std::string saveAsCapture(const Conversation& conversation, const std::string& file)
{
    const ProtocolBase& protocol = conversation.protocol();
    const CaptureEndpoints endpoints{captureEndpointOf(protocol.getClientEndpoint()),
                                     captureEndpointOf(protocol.getLocalEndpoint())};
    const Transcript& transcript = conversation.transcript();
    return writeTranscriptAsPcapng(transcript, endpoints, recordedEnds(transcript), file);
}

std::string saveAs(const Conversation& conversation, const std::string& file, Format format)
{
    std::string error;
    switch (format) {
    case Format::ReceivedBytes:
        saveReceivedBytes(conversation.transcript(), file, error);
        break;
    case Format::TranscriptText:
        saveAsText(conversation.transcript(), file, error);
        break;
    case Format::Capture:
        error = saveAsCapture(conversation, file);
        break;
    }
    return error;
}
}

QString save(const Conversation& conversation, const QString& path, Format format)
{
    const std::string file = QFile::encodeName(path).toStdString();
    const std::string error = saveAs(conversation, file, format);
    if (!error.empty())
        return QString::fromStdString(error);
    Log::line("conversation saved to ", file);
    return QString();
}

void askAndSave(QWidget* parent, const Conversation& conversation)
{
    const QString rawFilter = QStringLiteral("Received bytes, exactly as they arrived (*)");
    const QString textFilter = QStringLiteral("Whole conversation as text (*.txt)");
    const QString captureFilter = QStringLiteral("Capture for Wireshark (*.pcapng)");
    const QString rulesFilter = QStringLiteral("Rules that answer a new client the same way (*.json)");
    const QString timedRulesFilter = QStringLiteral("Rules that answer the same way, with the same waits (*.json)");
    QString chosenFilter = rawFilter;
    const QString path = FileDialogs::saveFile(parent, QStringLiteral("Save Conversation"),
                                               {rawFilter, textFilter, captureFilter, rulesFilter, timedRulesFilter},
                                               &chosenFilter);
    if (path.isEmpty())
        return;
    if (chosenFilter == rulesFilter || chosenFilter == timedRulesFilter) {
        const QString error = ReplayRulesSaving::save(conversation, path, chosenFilter == timedRulesFilter);
        if (!error.isEmpty())
            QMessageBox::warning(parent, QStringLiteral("Save Conversation"),
                                 QStringLiteral("Couldn't save the rules to %1: %2").arg(path, error));
        return;
    }
    const Format format = chosenFilter == textFilter      ? Format::TranscriptText
                          : chosenFilter == captureFilter ? Format::Capture
                                                          : Format::ReceivedBytes;
    const QString error = save(conversation, path, format);
    if (!error.isEmpty())
        QMessageBox::warning(parent, QStringLiteral("Save Conversation"),
                             QStringLiteral("Couldn't save the conversation to %1: %2").arg(path, error));
}
}
