#pragma once

#include <QString>

class Conversation;
class QWidget;

// Saving a connection's conversation: the received bytes exactly as they
// arrived, the whole conversation as text, or as a pcapng capture that
// Wireshark reads (between the client's address and port and the ones it
// reached, with the FINs and resets the transcript recorded).
namespace ConversationSaving
{
enum class Format { ReceivedBytes, TranscriptText, Capture };

// Writes the conversation to path; an empty string or what went wrong.
QString save(const Conversation& conversation, const QString& path, Format format);
// Asks where to save and in which form, then saves; a failure is shown.
void askAndSave(QWidget* parent, const Conversation& conversation);
}
