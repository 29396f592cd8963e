#include "ConversationDisplay.h"

#include "ConversationFeed.h"
#include "HexView.h"
#include "NumberText.h"
#include "Transcript.h"
#include "ui_ConnectionWindowForm.h"

#include <QSettings>

namespace
{
const char* const splitterKey = "ConnectionWindow/inputSplitter";

QString counted(std::uint64_t number, const char* one, const char* many)
{
    return QString::fromStdString(groupedNumber(number)) + QLatin1Char(' ') + QLatin1String(number == 1 ? one : many);
}

QString countsText(const TranscriptTotals& totals)
{
    const int received = static_cast<int>(Direction::Received);
    const int sent = static_cast<int>(Direction::Sent);
    return QStringLiteral("Received %1 in %2, sent %3 in %4")
        .arg(counted(totals.bytes[received], "byte", "bytes"), counted(totals.chunks[received], "chunk", "chunks"),
             counted(totals.bytes[sent], "byte", "bytes"), counted(totals.chunks[sent], "chunk", "chunks"));
}
}

ConversationDisplay::ConversationDisplay(Ui::ConnectionWindowForm& form, QWidget* window,
                                         std::shared_ptr<const Transcript> transcript, std::function<void()> wantFrame)
    : form(form)
    , window(window)
    , transcript(std::move(transcript))
    , wantFrame(std::move(wantFrame))
    , textFeed(std::make_unique<ConversationFeed>(this->transcript, form.textEdit))
{
    QObject::connect(form.viewModeBox, qOverload<int>(&QComboBox::currentIndexChanged), this,
                     [this](int index) { setViewMode(static_cast<ViewMode>(index)); });
    QObject::connect(form.timeStampsBox, &QCheckBox::toggled, this, &ConversationDisplay::setShowTimes);
    restoreSplitter();
    showCounts();
}

// The conversation gets most of the height; where the user moves the split
// between it and the input is where new windows put it.
void ConversationDisplay::restoreSplitter()
{
    form.conversationSplitter->setStretchFactor(0, 4);
    form.conversationSplitter->setStretchFactor(1, 1);
    form.conversationSplitter->restoreState(QSettings().value(splitterKey).toByteArray());
    QObject::connect(form.conversationSplitter, &QSplitter::splitterMoved, this,
                     [this] { QSettings().setValue(splitterKey, form.conversationSplitter->saveState()); });
}

ConversationDisplay::~ConversationDisplay() = default;

ConversationDisplay::Frame ConversationDisplay::draw(int sliceMs)
{
    Frame frame;
    if (mode == ViewMode::Hex) {
        hex->refresh();
    } else {
        frame.caughtUp = textFeed->drawFor(sliceMs);
        frame.jumped = textFeed->jumpedInLastSlice();
    }
    countsStale = true;
    frame.countsDueInMs = drawCounts();
    return frame;
}

// A new text makes the label and the widgets under it paint again: at most
// every countsIntervalMs, the latest counts.
int ConversationDisplay::drawCounts()
{
    if (!countsStale)
        return -1;
    const qint64 since = sinceCounts.isValid() ? sinceCounts.elapsed() : countsIntervalMs;
    if (since < countsIntervalMs)
        return static_cast<int>(countsIntervalMs - since);
    showCounts();
    return -1;
}

void ConversationDisplay::showCounts()
{
    sinceCounts.start();
    countsStale = false;
    const QString text = countsText(transcript->totals());
    if (form.countsLabel->text() != text)
        form.countsLabel->setText(text);
}

bool ConversationDisplay::isCaughtUp() const
{
    return mode == ViewMode::Hex || textFeed->isCaughtUp();
}

void ConversationDisplay::setViewMode(ViewMode newMode)
{
    mode = newMode;
    if (form.viewModeBox->currentIndex() != static_cast<int>(mode))
        form.viewModeBox->setCurrentIndex(static_cast<int>(mode));
    if (mode == ViewMode::Hex) {
        if (!hex) {
            hex = new HexView(transcript, window);
            hex->setShowTimes(form.timeStampsBox->isChecked());
            form.conversationPaneLayout->addWidget(hex);
        }
        hex->refresh();
        form.textEdit->hide();
        hex->show();
        return;
    }
    if (hex)
        hex->hide();
    form.textEdit->show();
    form.textEdit->setStyle(mode == ViewMode::ControlBytes ? RemoteLocalDataViewer::Style::ControlBytes
                                                           : RemoteLocalDataViewer::Style::Text);
    textFeed->redraw();
    wantFrame();
}

void ConversationDisplay::setShowTimes(bool show)
{
    if (form.timeStampsBox->isChecked() != show)
        form.timeStampsBox->setChecked(show);
    form.textEdit->setShowTimes(show);
    if (hex)
        hex->setShowTimes(show);
    if (mode != ViewMode::Hex) {
        textFeed->redraw();
        wantFrame();
    }
}

void ConversationDisplay::showState(const QString& text)
{
    form.stateLabel->setText(text);
    form.stateLabel->setVisible(!text.isEmpty());
}
