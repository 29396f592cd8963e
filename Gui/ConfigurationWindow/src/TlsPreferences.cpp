#include "TlsPreferences.h"

#include "AlpnList.h"
#include "FileDialogs.h"
#include "FilePaths.h"
#include "Latin1.h"
#include "TlsSetupCheck.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace
{
void showProblem(QLabel* label, const QString& problem)
{
    label->setText(problem);
    label->setVisible(!problem.isEmpty());
}

QComboBox* versionCombo(QWidget* parent, const QString& name)
{
    auto* combo = new QComboBox(parent);
    combo->setObjectName(name);
    combo->addItem("TLS 1.2");
    combo->addItem("TLS 1.3");
    return combo;
}

TlsVersion versionAt(const QComboBox* combo)
{
    return combo->currentIndex() == 0 ? TlsVersion::Tls12 : TlsVersion::Tls13;
}
}

TlsPreferences::TlsPreferences(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    auto* certificateGroup = new QGroupBox("Server certificate", this);
    buildCertificateGroup(new QGridLayout(certificateGroup));
    auto* clientsGroup = new QGroupBox("Clients", this);
    buildListenerGroup(new QGridLayout(clientsGroup));
    auto* keyLogGroup = new QGroupBox("Key log", this);
    buildKeyLogGroup(new QGridLayout(keyLogGroup));
    auto* portsHint = new QLabel("A port serves TLS when it is listed with /tls, as in 2222, 8443/tls.", this);
    portsHint->setWordWrap(true);
    layout->addWidget(portsHint);
    layout->addWidget(certificateGroup);
    layout->addWidget(clientsGroup);
    layout->addWidget(keyLogGroup);
    layout->addStretch();
    setSetup(TlsSetup());
}

void TlsPreferences::buildCertificateGroup(QGridLayout* grid)
{
    QWidget* group = grid->parentWidget();
    generatedRadio = new QRadioButton("Generated for localhost, 127.0.0.1 and ::1", group);
    generatedRadio->setObjectName("generatedCertificateRadio");
    generatedRadio->setToolTip("Made on first use and kept in the configuration folder; clients trust it "
                               "through File > Export Certificate...");
    ownFilesRadio = new QRadioButton("My own certificate chain and private key (PEM files)", group);
    ownFilesRadio->setObjectName("ownCertificateRadio");
    grid->addWidget(generatedRadio, 0, 0, 1, 3);
    grid->addWidget(ownFilesRadio, 1, 0, 1, 3);
    chainFileEdit = addFileRow(grid, 2, "Certificate chain:", "chainFile", false);
    keyFileEdit = addFileRow(grid, 3, "Private key:", "keyFile", false);
    certificateError = addProblemRow(grid, 4, "certificateError");
    fingerprintLabel = new QLabel(group);
    fingerprintLabel->setObjectName("fingerprintLabel");
    fingerprintLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(fingerprintLabel, 5, 0, 1, 3);
    connect(generatedRadio, &QRadioButton::toggled, this, &TlsPreferences::validate);
}

void TlsPreferences::buildListenerGroup(QGridLayout* grid)
{
    QWidget* group = grid->parentWidget();
    lowestVersionCombo = versionCombo(group, "lowestVersionCombo");
    highestVersionCombo = versionCombo(group, "highestVersionCombo");
    grid->addWidget(new QLabel("Versions:", group), 0, 0);
    auto* versions = new QHBoxLayout;
    versions->addWidget(lowestVersionCombo);
    versions->addWidget(new QLabel("to", group));
    versions->addWidget(highestVersionCombo);
    versions->addStretch();
    grid->addLayout(versions, 0, 1, 1, 2);
    versionsError = addProblemRow(grid, 1, "versionsError");

    alpnEdit = new QLineEdit(group);
    alpnEdit->setObjectName("alpnEdit");
    alpnEdit->setPlaceholderText("h2, http/1.1");
    alpnEdit->setToolTip("Application protocols (ALPN) offered, most preferred first; empty offers none");
    grid->addWidget(new QLabel("ALPN protocols:", group), 2, 0);
    grid->addWidget(alpnEdit, 2, 1, 1, 2);
    alpnError = addProblemRow(grid, 3, "alpnError");

    clientCertificatesCombo = new QComboBox(group);
    clientCertificatesCombo->setObjectName("clientCertificatesCombo");
    clientCertificatesCombo->addItems({"Not asked for", "Requested", "Required"});
    grid->addWidget(new QLabel("Client certificates:", group), 4, 0);
    grid->addWidget(clientCertificatesCombo, 4, 1, 1, 2);
    clientCaFileEdit = addFileRow(grid, 5, "Checked against CA file:", "clientCaFile", false);
    clientCaError = addProblemRow(grid, 6, "clientCaError");
    for (QComboBox* combo : {lowestVersionCombo, highestVersionCombo, clientCertificatesCombo})
        connect(combo, &QComboBox::currentIndexChanged, this, &TlsPreferences::validate);
    connect(alpnEdit, &QLineEdit::textChanged, this, &TlsPreferences::validate);
}

void TlsPreferences::buildKeyLogGroup(QGridLayout* grid)
{
    QWidget* group = grid->parentWidget();
    keyLogCheck = new QCheckBox("Write the TLS session secrets to a key log file (SSLKEYLOGFILE format)", group);
    keyLogCheck->setObjectName("keyLogCheck");
    auto* warning = new QLabel("Whoever has this file can decrypt every capture of these connections, "
                               "for example in Wireshark. Leave it off unless you need that.",
                               group);
    warning->setWordWrap(true);
    grid->addWidget(keyLogCheck, 0, 0, 1, 3);
    grid->addWidget(warning, 1, 0, 1, 3);
    keyLogFileEdit = addFileRow(grid, 2, "Key log file:", "keyLogFile", true);
    keyLogError = addProblemRow(grid, 3, "keyLogError");
    connect(keyLogCheck, &QCheckBox::toggled, this, &TlsPreferences::validate);
}

QLineEdit* TlsPreferences::addFileRow(QGridLayout* grid, int row, const QString& label, const QString& name,
                                      bool forSaving)
{
    QWidget* group = grid->parentWidget();
    auto* edit = new QLineEdit(group);
    edit->setObjectName(name + "Edit");
    auto* button = new QPushButton("Choose...", group);
    button->setObjectName(name + "Button");
    grid->addWidget(new QLabel(label, group), row, 0);
    grid->addWidget(edit, row, 1);
    grid->addWidget(button, row, 2);
    connect(edit, &QLineEdit::textChanged, this, &TlsPreferences::validate);
    connect(button, &QPushButton::clicked, this, [this, edit, forSaving] { chooseFile(edit, forSaving); });
    return edit;
}

QLabel* TlsPreferences::addProblemRow(QGridLayout* grid, int row, const QString& name)
{
    auto* label = new QLabel(grid->parentWidget());
    label->setObjectName(name);
    label->setStyleSheet("color: #b00020;");
    label->setWordWrap(true);
    label->hide();
    grid->addWidget(label, row, 1, 1, 2);
    return label;
}

// A file row's field and its Choose button, named after each other.
void TlsPreferences::enableFileRow(QLineEdit* edit, bool enabled)
{
    edit->setEnabled(enabled);
    const QString button = edit->objectName().chopped(4) + "Button";
    if (auto* choose = findChild<QPushButton*>(button))
        choose->setEnabled(enabled);
}

void TlsPreferences::chooseFile(QLineEdit* edit, bool forSaving)
{
    const QString title = "Choose the file";
    const QString path = forSaving ? FileDialogs::saveFile(this, title, {"All files (*)"}, nullptr)
                                   : FileDialogs::openFile(this, title);
    if (!path.isEmpty())
        edit->setText(path);
}

void TlsPreferences::setSetup(const TlsSetup& setup)
{
    generatedFolder = setup.generatedFolder;
    generatedCredentials.reset();
    const bool own = setup.certificateSource == TlsSetup::CertificateSource::OwnFiles;
    (own ? ownFilesRadio : generatedRadio)->setChecked(true);
    chainFileEdit->setText(FilePaths::toText(setup.chainFile));
    keyFileEdit->setText(FilePaths::toText(setup.keyFile));
    const ListenerOptions& options = setup.listener;
    lowestVersionCombo->setCurrentIndex(options.lowestVersion == TlsVersion::Tls12 ? 0 : 1);
    highestVersionCombo->setCurrentIndex(options.highestVersion == TlsVersion::Tls12 ? 0 : 1);
    alpnEdit->setText(Latin1::toQString(AlpnList::format(options.alpnProtocols)));
    clientCertificatesCombo->setCurrentIndex(static_cast<int>(options.clientCertificates));
    clientCaFileEdit->setText(FilePaths::toText(options.clientCaFile));
    keyLogCheck->setChecked(!options.keyLogFile.empty());
    keyLogFileEdit->setText(FilePaths::toText(options.keyLogFile));
    validate();
}

TlsSetup TlsPreferences::setup() const
{
    TlsSetup chosen;
    chosen.certificateSource = ownFilesRadio->isChecked() ? TlsSetup::CertificateSource::OwnFiles
                                                          : TlsSetup::CertificateSource::Generated;
    chosen.generatedFolder = generatedFolder;
    chosen.chainFile = FilePaths::toSystem(chainFileEdit->text());
    chosen.keyFile = FilePaths::toSystem(keyFileEdit->text());
    ListenerOptions& options = chosen.listener;
    options.lowestVersion = versionAt(lowestVersionCombo);
    options.highestVersion = versionAt(highestVersionCombo);
    std::string reason;
    options.alpnProtocols = AlpnList::parse(Latin1::toBytes(alpnEdit->text()), reason).value_or(
        std::vector<std::string>());
    options.clientCertificates = static_cast<ClientCertificates>(clientCertificatesCombo->currentIndex());
    options.clientCaFile = FilePaths::toSystem(clientCaFileEdit->text());
    if (keyLogCheck->isChecked())
        options.keyLogFile = FilePaths::toSystem(keyLogFileEdit->text());
    return chosen;
}

bool TlsPreferences::isValid() const
{
    return valid;
}

void TlsPreferences::validate()
{
    const TlsSetup chosen = setup();
    const bool own = ownFilesRadio->isChecked();
    enableFileRow(chainFileEdit, own);
    enableFileRow(keyFileEdit, own);
    enableFileRow(clientCaFileEdit, chosen.listener.clientCertificates != ClientCertificates::Off);
    enableFileRow(keyLogFileEdit, keyLogCheck->isChecked());

    std::string alpnReason;
    AlpnList::parse(Latin1::toBytes(alpnEdit->text()), alpnReason);
    const QList<QPair<QLabel*, QString>> problems{
        {certificateError, certificateProblem()},
        {versionsError, QString::fromStdString(TlsSetupCheck::versions(chosen.listener))},
        {alpnError, QString::fromStdString(alpnReason)},
        {clientCaError, QString::fromStdString(TlsSetupCheck::clientCertificates(chosen.listener))},
        {keyLogError, keyLogCheck->isChecked()
                          ? QString::fromStdString(TlsSetupCheck::keyLogFile(chosen.listener.keyLogFile))
                          : QString()}};
    valid = true;
    for (const auto& [label, problem] : problems) {
        showProblem(label, problem);
        valid = valid && problem.isEmpty();
    }
    showFingerprint();
    emit validityChanged();
}

// The generated certificate is made (or read) once per page: its files
// change only when it is made anew. The user's files are read again on
// every change, since they are what is being chosen.
QString TlsPreferences::certificateProblem()
{
    shownCredentials.reset();
    std::string error;
    if (ownFilesRadio->isChecked()) {
        shownCredentials = setup().credentials(error);
    } else if (!generatedFolder.empty()) {
        if (!generatedCredentials)
            generatedCredentials = setup().credentials(error);
        shownCredentials = generatedCredentials;
    }
    return QString::fromStdString(error);
}

void TlsPreferences::showFingerprint()
{
    // Never hidden: a hidden label's new size would not reach the layout of
    // a dialog not shown yet, which would then cut the text.
    if (!shownCredentials) {
        fingerprintLabel->setText(ownFilesRadio->isChecked() ? "No usable certificate chosen yet"
                                                             : "The certificate is made when a TLS port first listens");
        return;
    }
    // Half the fingerprint a line: unbroken it would set the page's width.
    const QString fingerprint = QString::fromStdString(shownCredentials->fingerprintSha256());
    const int half = static_cast<int>(fingerprint.size() / 2 + 1);
    fingerprintLabel->setText(QString("SHA-256 fingerprint:\n%1\n%2\n%3, valid until %4")
                                  .arg(fingerprint.left(half - 1), fingerprint.mid(half),
                                       QString::fromStdString(shownCredentials->subject()),
                                       QString::fromStdString(shownCredentials->validUntil())));
}
