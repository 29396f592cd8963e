#include "TranscriptPreferences.h"

#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>

#include <algorithm>

namespace
{
QSpinBox* spinBox(QWidget* parent, int maximum, const QString& suffix)
{
    auto* box = new QSpinBox(parent);
    box->setRange(0, maximum);
    box->setSuffix(suffix);
    return box;
}

int clamped(quint64 value, int maximum)
{
    return static_cast<int>(std::min<quint64>(value, static_cast<quint64>(maximum)));
}

// Empty when the text can be the transcripts' folder.
QString folderProblem(const QString& path)
{
    if (path.isEmpty())
        return QString();
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("No such folder");
    if (!info.isDir())
        return QStringLiteral("Not a folder");
    if (!info.isWritable())
        return QStringLiteral("This folder cannot be written");
    return QString();
}
}

TranscriptPreferences::TranscriptPreferences(QWidget* parent)
    : QGroupBox(QStringLiteral("Transcripts"), parent)
{
    setObjectName(QStringLiteral("transcriptPreferences"));
    auto* layout = new QGridLayout(this);
    addReserveRow(0);
    addCapRows(1);
    addFolderRows(3);
    setOptions(TranscriptOptions());
}

void TranscriptPreferences::addReserveRow(int row)
{
    auto* layout = static_cast<QGridLayout*>(this->layout());
    reserveMiB = spinBox(this, clamped(TranscriptOptions::maxMiB, INT32_MAX), QStringLiteral(" MiB"));
    reservePercent = spinBox(this, TranscriptOptions::maxPercent, QStringLiteral(" %"));
    auto* label = new QLabel(QStringLiteral("Keep &free on their disk:"), this);
    label->setBuddy(reserveMiB);
    label->setToolTip(QStringLiteral("Reading pauses while less than the larger of the two is free, and goes on "
                                     "once there is room again"));
    auto* both = new QHBoxLayout;
    both->addWidget(reserveMiB);
    both->addWidget(new QLabel(QStringLiteral("and"), this));
    both->addWidget(reservePercent);
    both->addStretch();
    layout->addWidget(label, row, 0);
    layout->addLayout(both, row, 1);
}

void TranscriptPreferences::addCapRows(int row)
{
    auto* layout = static_cast<QGridLayout*>(this->layout());
    cap = spinBox(this, clamped(TranscriptOptions::maxMiB, INT32_MAX), QStringLiteral(" MiB"));
    cap->setSpecialValueText(QStringLiteral("No cap"));
    auto* label = new QLabel(QStringLiteral("&Keep per connection:"), this);
    label->setBuddy(cap);
    atCap = new QComboBox(this);
    atCap->addItem(QStringLiteral("At the cap, pause reading (nothing is lost)"),
                   static_cast<int>(AtCap::PauseReading));
    atCap->addItem(QStringLiteral("At the cap, keep only the newest bytes"), static_cast<int>(AtCap::KeepNewest));
    layout->addWidget(label, row, 0);
    layout->addWidget(cap, row, 1);
    layout->addWidget(atCap, row + 1, 1);
    connect(cap, qOverload<int>(&QSpinBox::valueChanged), this, &TranscriptPreferences::followCap);
}

void TranscriptPreferences::addFolderRows(int row)
{
    auto* layout = static_cast<QGridLayout*>(this->layout());
    folder = new QLineEdit(this);
    folder->setPlaceholderText(QStringLiteral("The temporary folder ($TMPDIR or /tmp)"));
    auto* label = new QLabel(QStringLiteral("F&older:"), this);
    label->setBuddy(folder);
    folderError = new QLabel(this);
    folderError->setStyleSheet(QStringLiteral("color: red"));
    folderError->setVisible(false);
    layout->addWidget(label, row, 0);
    layout->addWidget(folder, row, 1);
    layout->addWidget(folderError, row + 1, 1);
    connect(folder, &QLineEdit::textChanged, this, &TranscriptPreferences::checkFolder);
}

void TranscriptPreferences::setOptions(const TranscriptOptions& options)
{
    reserveMiB->setValue(clamped(options.reserveMiB, reserveMiB->maximum()));
    reservePercent->setValue(std::clamp(options.reservePercent, 0, TranscriptOptions::maxPercent));
    cap->setValue(clamped(options.capMiB, cap->maximum()));
    atCap->setCurrentIndex(std::max(0, atCap->findData(static_cast<int>(options.atCap))));
    folder->setText(options.folder);
    followCap();
    checkFolder();
}

TranscriptOptions TranscriptPreferences::options() const
{
    TranscriptOptions options;
    options.reserveMiB = static_cast<quint64>(reserveMiB->value());
    options.reservePercent = reservePercent->value();
    options.capMiB = static_cast<quint64>(cap->value());
    options.atCap = static_cast<AtCap>(atCap->currentData().toInt());
    options.folder = folder->text();
    return options;
}

bool TranscriptPreferences::isValid() const
{
    return folderProblem(folder->text()).isEmpty();
}

void TranscriptPreferences::followCap()
{
    atCap->setEnabled(cap->value() > 0);
}

void TranscriptPreferences::checkFolder()
{
    const QString problem = folderProblem(folder->text());
    folderError->setText(problem);
    folderError->setVisible(!problem.isEmpty());
    emit validityChanged();
}
