#pragma once

#include "Conversation.h"
#include "ReplyComposer.h"

#include <QObject>
#include <QString>

#include <string>

class HttpResponsePanel;
class QWidget;
struct SavedReply;

namespace Ui
{
class ConnectionWindowForm;
}

// The input of a connection window and everything that sends: what the user
// typed, read as its input mode says; a saved reply; a file; in pieces or
// whole; and the faults, Close Sending and Reset. Invalid input sends nothing
// and stays where it is, with the reason beside it.
class SendingPanel : public QObject
{
public:
    SendingPanel(Ui::ConnectionWindowForm& form, QWidget* window, Conversation& conversation,
                 HttpResponsePanel& response, const QString& windowId);

    // false, with the reason beside the input, when nothing was sent.
    bool sendTyped();
    bool sendSavedReply(const SavedReply& reply);
    bool sendFile(const QString& path);
    void chooseAndSendFile();
    void closeSending();
    void reset();

    // The input as a reply to save, with its mode, status and header lines.
    SavedReply draftReply() const;
    void showError(const QString& text);
    // The controls follow what the connection can still carry.
    void updateEnabled(const Conversation::State& state);

protected:
    // Ctrl+Return in the input sends.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void wireInputModes();
    // Hands composed bytes to the connection, in pieces when so chosen.
    bool sendBytes(std::string bytes);

    Ui::ConnectionWindowForm& form;
    QWidget* window;
    Conversation& conversation;
    HttpResponsePanel& response;
    ReplyComposer composer;
    const std::string logName;
};
