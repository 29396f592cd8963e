#pragma once

#include "TranscriptOptions.h"

#include <QGroupBox>

class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;

// The preferences of the transcripts: the disk reserve, the cap on what one
// connection keeps and what happens there, the folder. A folder that is not
// one is refused with its reason beside the field.
class TranscriptPreferences : public QGroupBox
{
    Q_OBJECT

public:
    explicit TranscriptPreferences(QWidget* parent);

    void setOptions(const TranscriptOptions& options);
    TranscriptOptions options() const;
    bool isValid() const;

    // For tests.
    QSpinBox* capBox() const { return cap; }
    QComboBox* atCapBox() const { return atCap; }
    QLineEdit* folderEdit() const { return folder; }

signals:
    void validityChanged();

private:
    void addReserveRow(int row);
    void addCapRows(int row);
    void addFolderRows(int row);
    void followCap();
    void checkFolder();

    QSpinBox* reserveMiB = nullptr;
    QSpinBox* reservePercent = nullptr;
    QSpinBox* cap = nullptr;
    QComboBox* atCap = nullptr;
    QLineEdit* folder = nullptr;
    QLabel* folderError = nullptr;
};
