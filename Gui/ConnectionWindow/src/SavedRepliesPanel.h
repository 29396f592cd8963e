#pragma once

#include "SavedReplyList.h"

#include <QObject>
#include <QString>

#include <cstddef>
#include <functional>

namespace Ui
{
class ConnectionWindowForm;
}

// The saved replies and auto-reply rows of a connection window: the list
// every window shares (ReplyLibrary), sending, saving and deleting a reply,
// and answering by itself with the chosen one.
class SavedRepliesPanel : public QObject
{
public:
    // What the panel needs of its window.
    struct Window
    {
        QWidget* widget = nullptr;
        // Composes and sends the reply; false, with the reason shown, when it could not.
        std::function<bool(const SavedReply&)> send;
        // The input as a reply to save, with the window's mode, status and header lines.
        std::function<SavedReply()> draft;
        std::function<void(const QString&)> showError;
        // A note in the conversation.
        std::function<void(const QString&)> note;
        std::function<bool()> canSend;
        std::function<std::size_t()> receivedChunks;
    };

    // autoReplyOn: whether auto-reply was on when the connection came.
    SavedRepliesPanel(Ui::ConnectionWindowForm& form, Window window, bool autoReplyOn);

    // Auto-reply to each chunk: one reply for every chunk received since the
    // last call, while it is on.
    void answerNewChunks();
    // Auto-reply to each new connection.
    void answerNewConnection();
    void updateEnabled();

private:
    void fillReplies();
    const SavedReply* chosenReply() const;
    void sendChosen();
    void saveInput();
    void deleteChosen();
    void rememberAutoReply();
    void turnAutoReplyOff(const QString& deleted);

    Ui::ConnectionWindowForm& form;
    Window window;
    std::size_t answeredChunks = 0;
    bool filling = false;
};
