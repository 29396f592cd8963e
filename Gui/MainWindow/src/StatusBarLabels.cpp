#include "StatusBarLabels.h"

#include "ListeningStateText.h"

#include <QLabel>
#include <QStatusBar>

StatusBarLabels::StatusBarLabels(QStatusBar* statusBar)
    : listeningState(new QLabel(statusBar))
    , pausedReading(new QLabel(statusBar))
{
    statusBar->addPermanentWidget(listeningState);
    pausedReading->hide();
    statusBar->addPermanentWidget(pausedReading);
    showStopped();
}

void StatusBarLabels::showListening(const ListenResult& result, const BindAddress& address)
{
    listeningState->setText(ListeningStateText::listening(result, address));
}

void StatusBarLabels::showAcceptingPaused(const ListenResult& result, quint64 freeDescriptors, quint64 resumeLevel)
{
    listeningState->setText(ListeningStateText::paused(result, freeDescriptors, resumeLevel));
}

void StatusBarLabels::showStopped(const ListenResult& failedStart)
{
    listeningState->setText(ListeningStateText::stopped(failedStart));
}

void StatusBarLabels::showPausedReading(const QString& text)
{
    pausedReading->setText(text);
    pausedReading->setVisible(!text.isEmpty());
}

QString StatusBarLabels::listeningText() const
{
    return listeningState->text();
}

QString StatusBarLabels::pausedReadingText() const
{
    return pausedReading->isHidden() ? QString() : pausedReading->text();
}
