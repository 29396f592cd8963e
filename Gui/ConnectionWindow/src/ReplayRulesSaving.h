#pragma once

#include <QString>

#include <cstdint>

class Conversation;
class QWidget;

// Save Conversation as Rules: a rule file that answers a new client the way this
// side answered this one (see ReplayConverter), each reply after the part
// of the client's bytes it followed, the recorded waits if asked, and the
// end of sending if this side ended it.
namespace ReplayRulesSaving
{
// The conversation is made into rules in memory: a longer one is refused.
constexpr std::uint64_t maxConversationBytes = 16 * 1024 * 1024;

// An empty string, or what went wrong.
QString save(const Conversation& conversation, const QString& path, bool keepTiming);
// Asks whether to keep the timing and where to save, then saves.
void askAndSave(QWidget* parent, const Conversation& conversation);
}
