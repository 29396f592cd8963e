#pragma once

#include "ReplyEncoder.h"
#include "SavedReplyList.h"

#include <QObject>
#include <QString>

// What every connection window shares about sending, kept in the settings
// store: the saved replies (group "SavedReplies"), the input mode and line
// ending new windows start with ("Sending") and the auto-reply choice new
// windows start with ("AutoReply"). One per process; the main window loads
// it from the store when it starts. GUI thread only.
class ReplyLibrary : public QObject
{
    Q_OBJECT

public:
    enum class AutoReplyTrigger : int { EachChunk = 0, EachConnection = 1 };
    struct AutoReplyChoice
    {
        bool enabled = false;
        AutoReplyTrigger trigger = AutoReplyTrigger::EachChunk;
        std::string replyName;
    };

    static ReplyLibrary& shared();

    // Reads everything from the settings store; what this program could not
    // have written is skipped or replaced by the default, with a log line.
    void load();

    const SavedReplyList& replies() const { return list; }
    // Saves (or replaces by name) and writes the list; an empty string or why not.
    QString saveReply(const SavedReply& reply);
    void removeReply(const std::string& name);

    InputMode inputMode() const { return mode; }
    LineEnding lineEnding() const { return ending; }
    void setSendingDefaults(InputMode mode, LineEnding lineEnding);

    // Whether new windows show the rows under their input unfolded ("Sending").
    bool moreControlsShown() const { return moreShown; }
    void setMoreControlsShown(bool shown);

    const AutoReplyChoice& autoReply() const { return autoReplyChoice; }
    void setAutoReply(const AutoReplyChoice& choice);

signals:
    void repliesChanged();

private:
    void loadReplies();
    void writeReplies();

    SavedReplyList list;
    InputMode mode = InputMode::Text;
    LineEnding ending = LineEnding::LF;
    bool moreShown = false;
    AutoReplyChoice autoReplyChoice;
};
