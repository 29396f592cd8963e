#include "ConnectionWindow.h"

#include "ConnectionRules.h"
#include "Conversation.h"
#include "ConversationFeed.h"
#include "ConversationSaving.h"
#include "GuiHandOff.h"
#include "HexView.h"
#include "HttpResponsePanel.h"
#include "Latin1.h"
#include "Log.h"
#include "PausedReadingText.h"
#include "ReplayRulesSaving.h"
#include "SavedRepliesPanel.h"
#include "SendingPanel.h"
#include "TlsDetailsLine.h"
#include "Transcript.h"

#include <QIcon>

#include <algorithm>
#include <chrono>

namespace
{
// The size a window opens with, before it is fitted into the area.
constexpr QSize defaultSize(882, 662);
// While the data comes faster than it can be drawn, frames come this far
// apart: a flood is unreadable anyway, and each frame takes time from reading it.
constexpr int floodFrameGapMs = 50;

// Decoded once: every window shows it, and decoding it per window cost as
// much as laying the window out. Never destroyed: pixmaps must not outlive
// the application object.
const QIcon& sendIcon()
{
    static const QIcon* icon = new QIcon(QStringLiteral(":/Icons/Upload.png"));
    return *icon;
}

// What a window's form needs at least, with its rows under the input folded,
// for the windows that have not made theirs yet. Measured once, on a form
// made for the purpose.
QSize formMinimumSize()
{
    static const QSize size = [] {
        QWidget form;
        Ui::ConnectionWindowForm ui;
        ui.setupUi(&form);
        ui.moreControls->hide();
        return form.minimumSizeHint();
    }();
    return size;
}
}

ConnectionWindow::ConnectionWindow(QWidget* parent, std::shared_ptr<Conversation> conversation, FrameClock& clock,
                                   const QString& windowId, Widgets widgets)
    : QWidget(parent)
    , conversation(std::move(conversation))
    , clock(&clock)
{
    const QString endpoint = Latin1::toQString(this->conversation->endpoint());
    this->windowId = windowId.isEmpty() ? endpoint : windowId;
    title = "Connection from: " + endpoint;
    resize(defaultSize);
    rules = new ConnectionRules(*this->conversation, this);
    // A window that may answer by itself is never left unseen.
    if (widgets == Widgets::Now || rules->autoReply().enabled)
        makeWidgets();
    else
        setMinimumSize(formMinimumSize());
}

// The watcher runs on the thread that changed the conversation: it only hands
// the news to this window, which takes it at its next frame.
void ConnectionWindow::start()
{
    conversation->watch([this] { GuiHandOff::post(this, [this] { conversationChanged(); }); });
}

ConnectionWindow::~ConnectionWindow()
{
    conversation->unwatch();
    if (clock)
        clock->forget(this);
    conversation->close();
    Log::line("Connection window destroyed");
    emit onWindowDestroying(windowId);
}

void ConnectionWindow::makeWidgets()
{
    if (display)
        return;
    setMinimumSize(0, 0); // from now on the form's layout decides
    setupUi(this);
    display = std::make_unique<ConversationDisplay>(*this, this, conversation->sharedTranscript(),
                                                    [this] { requestFrame(); });
    response = std::make_unique<HttpResponsePanel>(*this, conversation->sharedProtocol(),
                                                   [this] { sending->showError(QString()); });
    wireForm();
    tlsLine = std::make_unique<TlsDetailsLine>(tlsLabel, *conversation);
    showRules();
    showPause();
    followState();
    // Children made inside a shown widget would otherwise show only on the
    // next turn of the event loop.
    if (isVisible()) {
        for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (!child->testAttribute(Qt::WA_WState_ExplicitShowHide))
                child->show();
        }
    }
    requestFrame();
}

void ConnectionWindow::requestFrame(int delayMs)
{
    if (clock)
        clock->requestFrame(this, delayMs);
}

void ConnectionWindow::wireForm()
{
    connect(saveButton, &QPushButton::clicked, this, &ConnectionWindow::onSaveConversation);
    rulesBox->setChecked(rules->bookRulesOn());
    connect(rulesBox, &QCheckBox::toggled, rules, &ConnectionRules::setBookRulesOn);
    const auto followPieces = [this] {
        rules->setPieces(piecesBox->isChecked() ? static_cast<std::size_t>(std::max(0, pieceSizeBox->value())) : 0,
                         std::chrono::milliseconds(pieceDelayBox->value()));
    };
    connect(piecesBox, &QCheckBox::toggled, rules, followPieces);
    connect(pieceSizeBox, qOverload<int>(&QSpinBox::valueChanged), rules, followPieces);
    connect(pieceDelayBox, qOverload<int>(&QSpinBox::valueChanged), rules, followPieces);
    sendButton->setIcon(sendIcon());
    sending = std::make_unique<SendingPanel>(*this, this, *conversation, *response, windowId);

    replies = std::make_unique<SavedRepliesPanel>(*this, this, *sending, *conversation, *rules);
}

// Qt lets a paint event through only where the widget is not covered, so
// this is the first moment the user may see the window.
void ConnectionWindow::paintEvent(QPaintEvent* event)
{
    if (!display)
        emit seenWithoutWidgets();
    QWidget::paintEvent(event);
}

ConversationFeed& ConnectionWindow::getFeed()
{
    makeWidgets();
    return display->feed();
}

void ConnectionWindow::setViewMode(ViewMode mode)
{
    makeWidgets();
    display->setViewMode(mode);
}

void ConnectionWindow::setShowTimes(bool show)
{
    makeWidgets();
    display->setShowTimes(show);
}

// Whatever changed waits for the next frame, which takes it all: the
// conversation tells nothing more until then, so news arriving in between
// costs the GUI thread nothing, also in a window that has no widgets yet.
void ConnectionWindow::conversationChanged()
{
    requestFrame();
}

void ConnectionWindow::onFrame()
{
    conversation->acknowledge();
    followState();
    tellTlsFailure();
    if (!display) {
        // Nothing to draw yet: only the end of the connection shows, in the title.
        if (readEnded && !inactiveShown)
            markInactive();
        return;
    }
    showRules();
    const ConversationDisplay::Frame frame = display->draw(clock ? clock->drawingTimeMs() : FrameClock::sliceMs);
    if (clock)
        clock->setBehind(this, !frame.caughtUp);
    if (!frame.caughtUp) {
        requestFrame(frame.jumped ? floodFrameGapMs : 0);
        return;
    }
    if (frame.countsDueInMs >= 0)
        requestFrame(frame.countsDueInMs);
    if (readEnded && !inactiveShown)
        markInactive();
}

// The switch shows once there are rules to switch off (or while they are
// off), so that a window without rules keeps its room for the counts.
void ConnectionWindow::showRules()
{
    const QString text = rules->unmatchedText();
    if (rulesLabel->text() != text)
        rulesLabel->setText(text);
    const bool switchShown = rules->bookHasRules() || !rules->bookRulesOn();
    if (rulesBox->isHidden() == switchShown)
        rulesBox->setVisible(switchShown);
}

void ConnectionWindow::followState()
{
    const Conversation::State state = conversation->state();
    readEnded = state.readEnded;
    if (tlsLine)
        tlsLine->follow(state);
    const Conversation::Pause pause = state.readingPaused ? state.pause : Conversation::Pause::None;
    if (pause != pauseShown) {
        pauseShown = pause;
        pauseReason = QString::fromStdString(state.storageError);
        showPause();
        emit readingPausedChanged(windowId, pauseShown);
    }
    updateSendingEnabled();
}

void ConnectionWindow::showPause()
{
    if (display)
        display->showState(PausedReadingText::window(pauseShown, pauseReason,
                                                     conversation->transcript().limitsInUse().keepAtMost));
}

// The client has ended its sending. The connection may still take a reply
// (many clients shut down their side and wait for the answer), so the input
// stays usable for as long as it can.
// Told from a frame, never while the window is being made: its owner
// connects to the signal after that.
void ConnectionWindow::tellTlsFailure()
{
    if (tlsFailureTold || !conversation->usesTls())
        return;
    const std::string failure = conversation->state().tlsFailure;
    if (failure.empty())
        return;
    tlsFailureTold = true;
    emit tlsHandshakeFailed(windowId, QString::fromStdString(failure));
}

void ConnectionWindow::markInactive()
{
    inactiveShown = true;
    emit onWindowInactive(windowId);
}

void ConnectionWindow::updateSendingEnabled()
{
    if (!display)
        return;
    sending->updateEnabled(conversation->state());
    replies->updateEnabled();
}

void ConnectionWindow::closeSession()
{
    Log::line("clossing session: ", Latin1::toBytes(windowId));
    conversation->close();
}

bool ConnectionWindow::sendFile(const QString& path)
{
    makeWidgets();
    return sending->sendFile(path);
}

QString ConnectionWindow::saveConversation(const QString& path, SaveFormat format)
{
    return ConversationSaving::save(*conversation, path, format);
}

void ConnectionWindow::onSaveConversation()
{
    ConversationSaving::askAndSave(this, *conversation);
}

void ConnectionWindow::onSaveAsRules()
{
    ReplayRulesSaving::askAndSave(this, *conversation);
}

QComboBox* ConnectionWindow::getStatusBox() const
{
    return response ? response->statusBox() : nullptr;
}

QCheckBox* ConnectionWindow::getCloseAfterResponseBox() const
{
    return response ? response->closeAfterResponseBox() : nullptr;
}
