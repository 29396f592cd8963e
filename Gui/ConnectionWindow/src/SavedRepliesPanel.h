#pragma once

#include "SavedReplyList.h"

#include <QObject>
#include <QString>

#include <cstddef>

class ConnectionRules;
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
// chosen one: auto-reply is a rule of the window's ConnectionRules, so it
// answers on the connection's side, whatever the window is doing.
class SavedRepliesPanel : public QObject
{
public:
    SavedRepliesPanel(Ui::ConnectionWindowForm& form, QWidget* window, SendingPanel& sending,
                      Conversation& conversation, ConnectionRules& rules);

    void updateEnabled();

private:
    void wireFolding();
    void fillReplies();
    const SavedReply* chosenReply() const;
    void sendChosen();
    void saveInput();
    void deleteChosen();
    void rememberAutoReply();

    Ui::ConnectionWindowForm& form;
    QWidget* window;
    SendingPanel& sending;
    Conversation& conversation;
    ConnectionRules& rules;
    bool filling = false;
};
