#pragma once

#include "ServerCredentials.h"
#include "TlsSetup.h"

#include <QWidget>

#include <optional>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QRadioButton;

// The TLS page of the preferences: the certificate (generated, or the
// user's own chain and key), the lowest and highest version, the ALPN
// protocols, client certificates with their CA file, and the key log.
// Every choice is checked as it is made: a problem shows beside its field,
// in words, and isValid() is false until every one is solved. The
// certificate's SHA-256 fingerprint shows once it can be used.
class TlsPreferences : public QWidget
{
    Q_OBJECT

public:
    explicit TlsPreferences(QWidget* parent);

    void setSetup(const TlsSetup& setup);
    TlsSetup setup() const;
    bool isValid() const;

signals:
    void validityChanged();

private:
    void buildCertificateGroup(QGridLayout* grid);
    void buildListenerGroup(QGridLayout* grid);
    void buildKeyLogGroup(QGridLayout* grid);
    QLineEdit* addFileRow(QGridLayout* grid, int row, const QString& label, const QString& name, bool forSaving);
    QLabel* addProblemRow(QGridLayout* grid, int row, const QString& name);
    void chooseFile(QLineEdit* edit, bool forSaving);
    void enableFileRow(QLineEdit* edit, bool enabled);

    void validate();
    QString certificateProblem();
    void showFingerprint();

    // Where the generated certificate lives; kept from the setup given.
    std::string generatedFolder;
    std::optional<ServerCredentials> generatedCredentials;
    std::optional<ServerCredentials> shownCredentials;
    bool valid = false;

    QRadioButton* generatedRadio = nullptr;
    QRadioButton* ownFilesRadio = nullptr;
    QLineEdit* chainFileEdit = nullptr;
    QLineEdit* keyFileEdit = nullptr;
    QLabel* certificateError = nullptr;
    QLabel* fingerprintLabel = nullptr;
    QComboBox* lowestVersionCombo = nullptr;
    QComboBox* highestVersionCombo = nullptr;
    QLabel* versionsError = nullptr;
    QLineEdit* alpnEdit = nullptr;
    QLabel* alpnError = nullptr;
    QComboBox* clientCertificatesCombo = nullptr;
    QLineEdit* clientCaFileEdit = nullptr;
    QLabel* clientCaError = nullptr;
    QCheckBox* keyLogCheck = nullptr;
    QLineEdit* keyLogFileEdit = nullptr;
    QLabel* keyLogError = nullptr;
};
