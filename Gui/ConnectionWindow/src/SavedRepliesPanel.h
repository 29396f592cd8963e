#pragma once

#include "SavedReplyList.h"

#include <QObject>
#include <QString>

#include <cstddef>

class Conversation;
class SendingPanel;
class QWidget;

namespace Ui
{
class ConnectionWindowForm;
}

// The rows under a connection window's input, folded or not, and in them the
// saved replies and auto-reply: the list every window shares (ReplyLibrary),
// sending, saving and deleting a reply, and answering by itself with the
// chosen one.
class SavedRepliesPanel : public QObject
{
public:
    // autoReplyOn: whether auto-reply was on when the connection came.
    SavedRepliesPanel(Ui::ConnectionWindowForm& form, QWidget* window, SendingPanel& sending,
                      Conversation& conversation, bool autoReplyOn);

    // Auto-reply to each chunk: one reply for every chunk received since the
    // last call, while it is on.
    void answerNewChunks();
    // Auto-reply to each new connection.
    void answerNewConnection();
    void updateEnabled();

private:
    void wireFolding();
    void fillReplies();
    std::size_t receivedChunks() const;
    const SavedReply* chosenReply() const;
    void sendChosen();
    void saveInput();
    void deleteChosen();
    void rememberAutoReply();
    void turnAutoReplyOff(const QString& deleted);

    Ui::ConnectionWindowForm& form;
    QWidget* window;
    SendingPanel& sending;
    Conversation& conversation;
    std::size_t answeredChunks = 0;
    bool filling = false;
};
