#include "SendingPanel.h"

#include "FileDialogs.h"
#include "HttpResponsePanel.h"
#include "Latin1.h"
#include "Log.h"
#include "ReplyLibrary.h"
#include "SavedReplyList.h"
#include "ui_ConnectionWindowForm.h"

#include <QFile>
#include <QKeyEvent>
#include <QPalette>

SendingPanel::SendingPanel(Ui::ConnectionWindowForm& form, QWidget* window, Conversation& conversation,
                           HttpResponsePanel& response, const QString& windowId)
    : form(form)
    , window(window)
    , conversation(conversation)
    , response(response)
    , composer(conversation.protocol())
    , logName(Latin1::toBytes(windowId))
{
    connect(form.sendButton, &QPushButton::clicked, this, &SendingPanel::sendTyped);
    connect(form.sendFileButton, &QPushButton::clicked, this, &SendingPanel::chooseAndSendFile);
    connect(form.closeSendingButton, &QPushButton::clicked, this, &SendingPanel::closeSending);
    connect(form.resetButton, &QPushButton::clicked, this, &SendingPanel::reset);
    QPalette errorPalette = form.sendErrorLabel->palette();
    errorPalette.setColor(QPalette::WindowText, QColor(0xb0, 0x00, 0x00));
    form.sendErrorLabel->setPalette(errorPalette);
    connect(form.textEdit_2, &QTextEdit::textChanged, this, [this] { showError(QString()); });
    form.textEdit_2->installEventFilter(this);
    connect(form.piecesBox, &QCheckBox::toggled, this, [this] { showError(QString()); });
    connect(form.pieceSizeBox, qOverload<int>(&QSpinBox::valueChanged), this, [this] { showError(QString()); });
    wireInputModes();
}

// The mode and line ending chosen last are where new windows start.
void SendingPanel::wireInputModes()
{
    ReplyLibrary& library = ReplyLibrary::shared();
    form.inputModeBox->setCurrentIndex(static_cast<int>(library.inputMode()));
    form.lineEndingBox->setCurrentIndex(static_cast<int>(library.lineEnding()));
    form.lineEndingBox->setEnabled(library.inputMode() == InputMode::Text);
    const auto rememberMode = [this] {
        form.lineEndingBox->setEnabled(form.inputModeBox->currentIndex() == static_cast<int>(InputMode::Text));
        ReplyLibrary::shared().setSendingDefaults(static_cast<InputMode>(form.inputModeBox->currentIndex()),
                                                  static_cast<LineEnding>(form.lineEndingBox->currentIndex()));
        showError(QString());
    };
    connect(form.inputModeBox, qOverload<int>(&QComboBox::currentIndexChanged), this, rememberMode);
    connect(form.lineEndingBox, qOverload<int>(&QComboBox::currentIndexChanged), this, rememberMode);
}

bool SendingPanel::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == form.textEdit_2 && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            (key->modifiers() & Qt::ControlModifier)) {
            if (form.sendButton->isEnabled())
                sendTyped();
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

void SendingPanel::showError(const QString& text)
{
    if (form.sendErrorLabel->text() != text)
        form.sendErrorLabel->setText(text);
    form.sendErrorLabel->setToolTip(text);
}

bool SendingPanel::sendTyped()
{
    const ReplyComposer::Reply reply = composer.typed(
        Latin1::toBytes(form.textEdit_2->toPlainText()), static_cast<InputMode>(form.inputModeBox->currentIndex()),
        static_cast<LineEnding>(form.lineEndingBox->currentIndex()), response.status());
    if (!reply.ok()) {
        showError(QString::fromStdString(reply.error));
        return false;
    }
    if (!sendBytes(reply.bytes))
        return false;
    form.textEdit_2->clear();
    showError(QString());
    return true;
}

bool SendingPanel::sendSavedReply(const SavedReply& reply)
{
    const ReplyComposer::Reply composed = composer.saved(reply);
    if (!composed.ok()) {
        showError(QString::fromStdString(composed.error));
        return false;
    }
    return sendBytes(composed.bytes);
}

bool SendingPanel::sendBytes(std::string bytes)
{
    if (!form.piecesBox->isChecked()) {
        conversation.send(std::move(bytes));
        return true;
    }
    std::string error;
    const auto pieceSize = static_cast<std::size_t>(std::max(0, form.pieceSizeBox->value()));
    const std::chrono::milliseconds delay(form.pieceDelayBox->value());
    if (conversation.sendInPieces(std::move(bytes), pieceSize, delay, error) == 0) {
        showError(QString::fromStdString(error));
        return false;
    }
    return true;
}

bool SendingPanel::sendFile(const QString& path)
{
    const std::string problem = composer.applyStatus(response.status());
    if (!problem.empty()) {
        showError(Latin1::toQString(problem));
        return false;
    }
    std::string error;
    if (conversation.sendFile(QFile::encodeName(path).toStdString(), error) == 0) {
        showError(QStringLiteral("Couldn't send %1: %2").arg(path, QString::fromStdString(error)));
        return false;
    }
    showError(QString());
    return true;
}

void SendingPanel::chooseAndSendFile()
{
    const QString path = FileDialogs::openFile(window, QStringLiteral("Send File"));
    if (!path.isEmpty())
        sendFile(path);
}

void SendingPanel::closeSending()
{
    Log::line("closing sending: ", logName);
    conversation.closeSending();
    updateEnabled(conversation.state());
}

void SendingPanel::reset()
{
    Log::line("resetting connection: ", logName);
    conversation.reset();
    updateEnabled(conversation.state());
}

SavedReply SendingPanel::draftReply() const
{
    SavedReply reply;
    reply.body = Latin1::toBytes(form.textEdit_2->toPlainText());
    reply.mode = static_cast<InputMode>(form.inputModeBox->currentIndex());
    reply.lineEnding = static_cast<LineEnding>(form.lineEndingBox->currentIndex());
    if (composer.isHttp()) {
        reply.status = response.status();
        reply.headers = response.headers();
    }
    return reply;
}

void SendingPanel::updateEnabled(const Conversation::State& state)
{
    for (QWidget* control : {static_cast<QWidget*>(form.sendButton), static_cast<QWidget*>(form.textEdit_2),
                             static_cast<QWidget*>(form.sendFileButton), static_cast<QWidget*>(form.closeSendingButton)})
        control->setEnabled(state.canSend);
    // A reset is still possible while the socket is open, after Close Sending too.
    form.resetButton->setEnabled(!state.resetByServer && (!state.readEnded || state.canSend));
}
