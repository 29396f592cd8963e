#include "ReplayRulesSaving.h"

#include "Conversation.h"
#include "FileDialogs.h"
#include "Log.h"
#include "RecordedChunk.h"
#include "ReplayConverter.h"
#include "RuleFileWriter.h"

#include <QCheckBox>
#include <QFile>
#include <QMessageBox>

namespace ReplayRulesSaving
{
namespace
{
std::vector<RecordedChunk> recordedChunks(const Transcript& transcript)
{
    std::vector<RecordedChunk> chunks;
    const std::size_t count = transcript.chunkCount();
    chunks.reserve(count);
    const std::int64_t startUs = count > 0 ? transcript.chunk(0).timeUs : 0;
    for (std::size_t index = 0; index < count; ++index) {
        const Chunk chunk = transcript.chunk(index);
        RecordedChunk recorded;
        recorded.direction = chunk.direction == Direction::Received ? RecordedChunk::Direction::Received
                                                                    : RecordedChunk::Direction::Sent;
        recorded.timeUs = static_cast<std::uint64_t>(std::max<std::int64_t>(chunk.timeUs - startUs, 0));
        transcript.read(chunk.offset, static_cast<std::size_t>(chunk.length), recorded.bytes);
        chunks.push_back(std::move(recorded));
    }
    return chunks;
}
}

QString save(const Conversation& conversation, const QString& path, bool keepTiming)
{
    const Transcript& transcript = conversation.transcript();
    if (transcript.size() > maxConversationBytes)
        return QStringLiteral("the conversation has %1 bytes; rules are made of conversations of up to %2 bytes")
            .arg(transcript.size())
            .arg(maxConversationBytes);
    ReplayConverter::Options options;
    options.keepTiming = keepTiming;
    options.closeSendingAtEnd = conversation.state().sendingClosed;
    const std::vector<Rule> rules = ReplayConverter::convert(recordedChunks(transcript), options);
    std::string error;
    const std::string file = QFile::encodeName(path).toStdString();
    if (!RuleFileWriter::save(rules, file, error))
        return QString::fromStdString(error);
    Log::line("conversation saved as rules to ", file);
    return QString();
}

void askAndSave(QWidget* parent, const Conversation& conversation)
{
    QMessageBox ask(QMessageBox::Question, QStringLiteral("Save as Rules"),
                    QStringLiteral("Save rules that answer a new client the way this side answered this one?"),
                    QMessageBox::Ok | QMessageBox::Cancel, parent);
    auto* timing = new QCheckBox(QStringLiteral("Wait before each reply as long as this side did"), &ask);
    ask.setCheckBox(timing);
    if (ask.exec() != QMessageBox::Ok)
        return;
    const QString filter = QStringLiteral("Rule files (*.json)");
    QString chosenFilter = filter;
    const QString path = FileDialogs::saveFile(parent, QStringLiteral("Save as Rules"), {filter}, &chosenFilter);
    if (path.isEmpty())
        return;
    const QString error = save(conversation, path, timing->isChecked());
    if (!error.isEmpty())
        QMessageBox::warning(parent, QStringLiteral("Save as Rules"),
                             QStringLiteral("Couldn't save the rules to %1: %2").arg(path, error));
}
}
