#include "SavedRepliesPanel.h"

#include "ConnectionRules.h"
#include "Conversation.h"
#include "Latin1.h"
#include "ReplyLibrary.h"
#include "SendingPanel.h"
#include "ui_ConnectionWindowForm.h"

#include <QInputDialog>
#include <QMessageBox>

#include <algorithm>

SavedRepliesPanel::SavedRepliesPanel(Ui::ConnectionWindowForm& form, QWidget* window, SendingPanel& sending,
                                     Conversation& conversation, ConnectionRules& rules)
    : form(form)
    , window(window)
    , sending(sending)
    , conversation(conversation)
    , rules(rules)
{
    ReplyLibrary& library = ReplyLibrary::shared();
    // As the choice was when the connection came, however late the widgets come.
    const ReplyLibrary::AutoReplyChoice& autoReply = rules.autoReply();
    form.autoReplyTriggerBox->setCurrentIndex(static_cast<int>(autoReply.trigger));
    fillReplies();
    form.savedRepliesBox->setCurrentIndex(form.savedRepliesBox->findText(Latin1::toQString(autoReply.replyName)));
    form.autoReplyBox->setChecked(autoReply.enabled);

    connect(&library, &ReplyLibrary::repliesChanged, this, &SavedRepliesPanel::fillReplies);
    connect(form.sendSavedButton, &QPushButton::clicked, this, &SavedRepliesPanel::sendChosen);
    connect(form.saveReplyButton, &QPushButton::clicked, this, &SavedRepliesPanel::saveInput);
    connect(form.deleteReplyButton, &QPushButton::clicked, this, &SavedRepliesPanel::deleteChosen);
    connect(form.autoReplyBox, &QCheckBox::toggled, this, [this, &form](bool on) {
        if (on)
            form.moreButton->setChecked(true); // auto-reply is never on unseen
        rememberAutoReply();
    });
    connect(&rules, &ConnectionRules::autoReplyTurnedOff, this, [&form] { form.autoReplyBox->setChecked(false); });
    connect(form.autoReplyTriggerBox, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &SavedRepliesPanel::rememberAutoReply);
    connect(form.savedRepliesBox, qOverload<int>(&QComboBox::currentIndexChanged), this, [this] {
        if (!filling && this->form.autoReplyBox->isChecked())
            rememberAutoReply();
        updateEnabled();
    });
    wireFolding();
}

// The rows start folded as the user last left them, and open by themselves
// while auto-reply is on, so that a window never answers on its own unseen.
// Folded rows are never laid out or drawn: a burst of new windows costs less.
void SavedRepliesPanel::wireFolding()
{
    const auto showMore = [this](bool show) {
        form.moreButton->setArrowType(show ? Qt::DownArrow : Qt::RightArrow);
        form.moreControls->setVisible(show);
    };
    const bool shown = ReplyLibrary::shared().moreControlsShown() || form.autoReplyBox->isChecked();
    form.moreButton->setChecked(shown);
    showMore(shown);
    connect(form.moreButton, &QToolButton::toggled, this, showMore);
    connect(form.moreButton, &QToolButton::clicked, this,
            [](bool show) { ReplyLibrary::shared().setMoreControlsShown(show); });
}

// Every window shows the same list at once, each keeping its choice; with
// nothing chosen, nothing can be sent or deleted.
void SavedRepliesPanel::fillReplies()
{
    filling = true;
    const QString chosen = form.savedRepliesBox->currentText();
    form.savedRepliesBox->clear();
    for (const SavedReply& reply : ReplyLibrary::shared().replies().all())
        form.savedRepliesBox->addItem(Latin1::toQString(reply.name));
    form.savedRepliesBox->setCurrentIndex(form.savedRepliesBox->findText(chosen));
    filling = false;
    updateEnabled();
}

void SavedRepliesPanel::updateEnabled()
{
    const bool chosen = chosenReply() != nullptr;
    form.sendSavedButton->setEnabled(chosen && conversation.state().canSend);
    form.deleteReplyButton->setEnabled(chosen);
}

const SavedReply* SavedRepliesPanel::chosenReply() const
{
    if (form.savedRepliesBox->currentIndex() < 0)
        return nullptr;
    return ReplyLibrary::shared().replies().find(Latin1::toBytes(form.savedRepliesBox->currentText()));
}

void SavedRepliesPanel::sendChosen()
{
    if (const SavedReply* reply = chosenReply()) {
        const SavedReply copy = *reply;
        if (sending.sendSavedReply(copy))
            sending.showError(QString());
    }
}

void SavedRepliesPanel::saveInput()
{
    bool accepted = false;
    const QString name = QInputDialog::getText(window, QStringLiteral("Save as Reply"),
                                               QStringLiteral("Name of the saved reply:"), QLineEdit::Normal,
                                               form.savedRepliesBox->currentText(), &accepted);
    if (!accepted)
        return;
    SavedReply reply = sending.draftReply();
    reply.name = Latin1::toBytes(name.trimmed());
    const QString error = ReplyLibrary::shared().saveReply(reply);
    if (!error.isEmpty()) {
        sending.showError(QStringLiteral("Not saved: %1").arg(error));
        return;
    }
    form.savedRepliesBox->setCurrentIndex(form.savedRepliesBox->findText(Latin1::toQString(reply.name)));
    sending.showError(QString());
}

void SavedRepliesPanel::deleteChosen()
{
    const QString name = form.savedRepliesBox->currentText();
    if (!chosenReply())
        return;
    const auto answer = QMessageBox::question(window, QStringLiteral("Delete Reply"),
                                              QStringLiteral("Delete the saved reply %1?").arg(name));
    if (answer == QMessageBox::Yes)
        ReplyLibrary::shared().removeReply(Latin1::toBytes(name));
}

void SavedRepliesPanel::rememberAutoReply()
{
    ReplyLibrary::AutoReplyChoice choice;
    choice.enabled = form.autoReplyBox->isChecked();
    choice.trigger = static_cast<ReplyLibrary::AutoReplyTrigger>(form.autoReplyTriggerBox->currentIndex());
    choice.replyName = Latin1::toBytes(form.savedRepliesBox->currentText());
    ReplyLibrary::shared().setAutoReply(choice);
    rules.setAutoReply(choice);
    if (choice.enabled && !chosenReply())
        sending.showError(QStringLiteral("Auto-reply: no saved reply is chosen"));
}
