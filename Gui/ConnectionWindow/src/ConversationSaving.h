#pragma once

#include <QString>

class QWidget;
class Transcript;

// Saving a connection's conversation: the received bytes exactly as they
// arrived, or the whole conversation as text.
namespace ConversationSaving
{
enum class Format { ReceivedBytes, TranscriptText };

// Writes the conversation to path; an empty string or what went wrong.
QString save(const Transcript& transcript, const QString& path, Format format);
// Asks where to save and in which form, then saves; a failure is shown.
void askAndSave(QWidget* parent, const Transcript& transcript);
}
