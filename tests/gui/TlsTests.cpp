// TLS in the desktop program: the preferences check the certificate and the
// options as they are chosen, the settings keep them, and Export
// Certificate writes what a client must trust.
#include "GuiTestSupport.h"

#include "CertificateExport.h"
#include "ConfigDialog.h"
#include "Core.h"
#include "GeneratedCertificate.h"
#include "MainWindow.h"
#include "ProcessRunner.h"
#include "SelfSignedCertificate.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <chrono>

using namespace GuiTest;
using Clock = std::chrono::system_clock;

namespace
{
void writeFile(const QString& path, const std::string& contents)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(contents.data(), static_cast<qint64>(contents.size()));
}

SelfSignedCertificate::Pem makeCertificate(Clock::time_point from, Clock::time_point until)
{
    std::string error;
    auto pem = SelfSignedCertificate::create(from, until, error);
    return pem.value_or(SelfSignedCertificate::Pem());
}

Clock::time_point firstOfJanuary(int year)
{
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mday = 1;
    parts.tm_hour = 12;
    return Clock::from_time_t(::timegm(&parts));
}

std::string openSslFingerprint(const QString& certificate)
{
    const auto printed = TestSupport::runCommand("openssl x509 -noout -fingerprint -sha256 -in "
                                                 + certificate.toStdString());
    const std::size_t at = printed.output.find('=');
    return at == std::string::npos ? printed.output : printed.output.substr(at + 1, 95);
}

// The preferences' TLS page, found by the names of its fields.
struct TlsPage
{
    explicit TlsPage(ConfigDialog& dialog)
        : dialog(dialog)
    {
    }

    template <typename Widget>
    Widget* field(const char* name) const
    {
        auto* widget = dialog.findChild<Widget*>(name);
        if (!widget)
            qWarning("No field %s", name);
        return widget;
    }

    QString problem(const char* name) const
    {
        const QLabel* label = field<QLabel>(name);
        return label->isHidden() ? QString() : label->text();
    }

    bool okEnabled() const
    {
        return field<QDialogButtonBox>("buttonBox")->button(QDialogButtonBox::Ok)->isEnabled();
    }

    void chooseOwnFiles(const QString& chain, const QString& key) const
    {
        field<QRadioButton>("ownCertificateRadio")->setChecked(true);
        field<QLineEdit>("chainFileEdit")->setText(chain);
        field<QLineEdit>("keyFileEdit")->setText(key);
    }

    ConfigDialog& dialog;
};
}

class TlsTests : public Suite
{
    Q_OBJECT

private slots:
    void preferencesCheckEveryChoiceAsItIsMade();
    void theSettingsKeepTheChoicesAndRefuseInvalidOnes();
    void exportWritesTheCertificateToTrust();
    void aTlsPortWithAnUnusableCertificateDoesNotListen();
};

void TlsTests::preferencesCheckEveryChoiceAsItIsMade()
{
    QTemporaryDir scratch;
    const QString folder = scratch.path();
    const auto now = Clock::now();
    const auto valid = makeCertificate(now - std::chrono::hours(1), now + std::chrono::hours(24));
    const auto other = makeCertificate(now - std::chrono::hours(1), now + std::chrono::hours(24));
    const auto expired = makeCertificate(firstOfJanuary(2020), firstOfJanuary(2021));
    writeFile(folder + "/server.pem", valid.certificate);
    writeFile(folder + "/server-key.pem", valid.privateKey);
    writeFile(folder + "/other-key.pem", other.privateKey);
    writeFile(folder + "/expired.pem", expired.certificate + expired.privateKey);
    QVERIFY(::mkfifo((folder + "/fifo.pem").toLocal8Bit().constData(), 0600) == 0);

    ConfigDialog dialog(nullptr);
    TlsPage page(dialog);
    QVERIFY(dialog.findChild<QTabWidget*>("tabs")->count() == 2);
    TlsSetup setup;
    setup.generatedFolder = (folder + "/config").toStdString();
    dialog.setTlsSetup(setup);

    // The generated certificate is made for the page, private to its owner,
    // and its fingerprint is the one OpenSSL prints.
    const QString generated = folder + "/config/" + GeneratedCertificate::certificateFileName;
    QVERIFY(QFile::exists(generated));
    struct stat keyStatus{};
    QCOMPARE(::stat((folder + "/config/" + GeneratedCertificate::keyFileName).toLocal8Bit().constData(), &keyStatus), 0);
    QCOMPARE(keyStatus.st_mode & 0777, 0600u);
    QVERIFY(page.field<QLabel>("fingerprintLabel")->text().contains(
        QString::fromStdString(openSslFingerprint(generated))));
    QVERIFY(page.okEnabled());

    // Each problem of the user's own files, beside the field, OK disabled.
    const QList<QPair<QStringList, QString>> problems{
        {{"", ""}, "No certificate file chosen"},
        {{folder + "/server.pem", folder + "/other-key.pem"},
         "other-key.pem: the private key does not belong to the certificate in server.pem"},
        {{folder + "/expired.pem", folder + "/expired.pem"}, "expired.pem: the certificate expired on 2021-01-01"},
        {{folder + "/missing.pem", folder + "/server-key.pem"},
         "missing.pem: cannot be read: No such file or directory"},
        {{folder + "/fifo.pem", folder + "/server-key.pem"}, "fifo.pem: is not a regular file"},
    };
    for (const auto& [files, problem] : problems) {
        page.chooseOwnFiles(files[0], files[1]);
        QCOMPARE(page.problem("certificateError"), problem);
        QVERIFY(page.field<QLabel>("fingerprintLabel")->isHidden());
        QVERIFY(!page.okEnabled());
    }
    page.chooseOwnFiles(folder + "/server.pem", folder + "/server-key.pem");
    QCOMPARE(page.problem("certificateError"), QString());
    QVERIFY(page.field<QLabel>("fingerprintLabel")->text().contains(
        QString::fromStdString(openSslFingerprint(folder + "/server.pem"))));
    QVERIFY(page.okEnabled());

    // The options, each refused with its reason until it is put right.
    page.field<QComboBox>("lowestVersionCombo")->setCurrentIndex(1);
    page.field<QComboBox>("highestVersionCombo")->setCurrentIndex(0);
    QCOMPARE(page.problem("versionsError"), QString("The lowest version (TLS 1.3) is above the highest (TLS 1.2)"));
    QVERIFY(!page.okEnabled());
    page.field<QComboBox>("lowestVersionCombo")->setCurrentIndex(0);
    page.field<QLineEdit>("alpnEdit")->setText("h2, " + QString(256, 'x'));
    QCOMPARE(page.problem("alpnError"), QString("An ALPN protocol name is at most 255 characters long"));
    QVERIFY(!page.okEnabled());
    page.field<QLineEdit>("alpnEdit")->setText("h2 http/1.1");
    page.field<QComboBox>("clientCertificatesCombo")->setCurrentIndex(2);
    QCOMPARE(page.problem("clientCaError"), QString("Choose the CA file that client certificates are checked against"));
    page.field<QLineEdit>("clientCaFileEdit")->setText(folder + "/server-key.pem");
    QCOMPARE(page.problem("clientCaError"), QString("server-key.pem: holds no PEM certificate"));
    page.field<QLineEdit>("clientCaFileEdit")->setText(folder + "/server.pem");
    page.field<QCheckBox>("keyLogCheck")->setChecked(true);
    page.field<QLineEdit>("keyLogFileEdit")->setText(folder + "/no-such-folder/keys.log");
    QCOMPARE(page.problem("keyLogError"),
             QString("keys.log: the folder %1/no-such-folder does not exist").arg(folder));
    QVERIFY(!page.okEnabled());
    page.field<QLineEdit>("keyLogFileEdit")->setText(folder + "/keys.log");
    for (const char* name : {"certificateError", "versionsError", "alpnError", "clientCaError", "keyLogError"})
        QVERIFY2(page.problem(name).isEmpty(), name);
    QVERIFY(page.okEnabled());
    QVERIFY2(!QFile::exists(folder + "/keys.log"), "checking the key log file creates nothing");

    const TlsSetup chosen = dialog.getTlsSetup();
    QVERIFY(chosen.certificateSource == TlsSetup::CertificateSource::OwnFiles);
    QCOMPARE(chosen.chainFile, (folder + "/server.pem").toStdString());
    QCOMPARE(chosen.listener.alpnProtocols, std::vector<std::string>({"h2", "http/1.1"}));
    QVERIFY(chosen.listener.clientCertificates == ClientCertificates::Required);
    QCOMPARE(chosen.listener.keyLogFile, (folder + "/keys.log").toStdString());

    // The ports take their TLS marks in the same field.
    dialog.findChild<QLineEdit*>("portsEdit")->setText("2222, 8443/TLS 0/tls");
    QCOMPARE(dialog.getListedPorts(), std::vector<ListedPort>({{2222, false}, {8443, true}, {0, true}}));
    dialog.findChild<QLineEdit*>("portsEdit")->setText("2222, 8443/ssl");
    QCOMPARE(dialog.findChild<QLabel*>("portsError")->text(), QString("Not a port number: 8443/ssl"));
    QVERIFY(!page.okEnabled());
}

void TlsTests::theSettingsKeepTheChoicesAndRefuseInvalidOnes()
{
    QTemporaryDir scratch;
    {
        App first(false);
        TlsSetup setup = first.core->getTlsSetup();
        setup.listener.lowestVersion = TlsVersion::Tls13;
        setup.listener.alpnProtocols = {"h2", "http/1.1"};
        setup.listener.clientCertificates = ClientCertificates::Requested;
        setup.listener.clientCaFile = (scratch.path() + "/ca.pem").toStdString();
        setup.listener.keyLogFile = (scratch.path() + "/keys.log").toStdString();
        first.core->setTlsSetup(setup);
        first.core->setListedPorts({{2222, false}, {8443, true}});
    }
    {
        QSettings settings;
        QCOMPARE(settings.value("Listening/ports").toString(), QString("2222, 8443/tls"));
        QCOMPARE(settings.value("MainWindow/listenPort").toInt(), 2222);
        QCOMPARE(settings.value("Tls/certificate").toString(), QString("generated"));
        QCOMPARE(settings.value("Tls/lowestVersion").toString(), QString("1.3"));
        QCOMPARE(settings.value("Tls/alpn").toString(), QString("h2, http/1.1"));
        QCOMPARE(settings.value("Tls/clientCertificates").toString(), QString("requested"));
    }
    {
        App second(false);
        const TlsSetup setup = second.core->getTlsSetup();
        QCOMPARE(second.core->getListedPorts(), std::vector<ListedPort>({{2222, false}, {8443, true}}));
        QVERIFY(setup.listener.lowestVersion == TlsVersion::Tls13);
        QCOMPARE(setup.listener.alpnProtocols, std::vector<std::string>({"h2", "http/1.1"}));
        QVERIFY(setup.listener.clientCertificates == ClientCertificates::Requested);
        QCOMPARE(setup.listener.keyLogFile, (scratch.path() + "/keys.log").toStdString());
        QCOMPARE(QString::fromStdString(setup.generatedFolder),
                 QFileInfo(QSettings().fileName()).absolutePath());
        QVERIFY(second.log.text().find("Ignoring invalid setting") == std::string::npos);
    }

    clearSettings();
    {
        QSettings settings;
        settings.setValue("Tls/certificate", "mine");
        settings.setValue("Tls/lowestVersion", "1.1");
        settings.setValue("Tls/highestVersion", "1.2");
        settings.setValue("Tls/alpn", QString(300, 'x'));
        settings.setValue("Tls/clientCertificates", "required");
        settings.setValue("Tls/clientCaFile", "");
        settings.setValue("Listening/ports", "2222/tls, 8443/tls");
    }
    App third(false);
    const TlsSetup setup = third.core->getTlsSetup();
    QVERIFY(setup.certificateSource == TlsSetup::CertificateSource::Generated);
    QVERIFY(setup.listener.lowestVersion == TlsVersion::Tls12);
    QVERIFY(setup.listener.highestVersion == TlsVersion::Tls12);
    QVERIFY(setup.listener.alpnProtocols.empty());
    QVERIFY(setup.listener.clientCertificates == ClientCertificates::Off);
    QVERIFY(setup.listener.keyLogFile.empty());
    QCOMPARE(third.core->getListedPorts(), std::vector<ListedPort>({{2222, true}, {8443, true}}));
    for (const std::string& line : std::vector<std::string>{"Ignoring invalid setting certificate: mine", "Ignoring invalid setting lowestVersion: 1.1",
          "Ignoring invalid setting alpn: " + std::string(300, 'x'),
          "Ignoring invalid setting clientCertificates: required"})
        QVERIFY2(third.log.countLines(line) == 1, line.c_str());
}

void TlsTests::exportWritesTheCertificateToTrust()
{
    QTemporaryDir scratch;
    App app(false);
    const QString exported = scratch.path() + "/trust.pem";
    QString message;
    CertificateExport exporter(app.window.get(), app.window->exportCertificateAction, app.core);
    QVERIFY(exporter.exportTo(exported, message));
    const std::string fingerprint = openSslFingerprint(exported);
    QVERIFY2(message.contains(QString::fromStdString(fingerprint)), qPrintable(message));
    QVERIFY(message.contains("curl --cacert " + exported));
    QCOMPARE(app.log.countLinesStartingWith("TLS: exported the certificate to trust to " + exported.toStdString()
                                            + ", SHA-256 fingerprint " + fingerprint),
             1);
    // What was exported is the certificate the program serves.
    const QString served = QFileInfo(QSettings().fileName()).absolutePath() + "/"
        + GeneratedCertificate::certificateFileName;
    QCOMPARE(openSslFingerprint(served), fingerprint);

    QVERIFY(!exporter.exportTo(scratch.path() + "/no-such-folder/trust.pem", message));
    QVERIFY2(message.startsWith("Couldn't export the certificate: trust.pem: cannot be created"), qPrintable(message));
}

void TlsTests::aTlsPortWithAnUnusableCertificateDoesNotListen()
{
    QTemporaryDir scratch;
    const auto expired = makeCertificate(firstOfJanuary(2020), firstOfJanuary(2021));
    writeFile(scratch.path() + "/expired.pem", expired.certificate + expired.privateKey);
    App app(false);
    TlsSetup setup = app.core->getTlsSetup();
    setup.certificateSource = TlsSetup::CertificateSource::OwnFiles;
    setup.chainFile = setup.keyFile = (scratch.path() + "/expired.pem").toStdString();
    app.core->setTlsSetup(setup);
    app.core->setListedPorts({{0, false}, {0, true}});
    app.window->onStartListen();
    const QString reason = "TLS: expired.pem: the certificate expired on 2021-01-01";
    QVERIFY2(statusText(*app.window).endsWith("; couldn't listen on port 0: " + reason), qPrintable(statusText(*app.window)));
    QCOMPARE(app.core->getBoundEndpoints().size(), std::size_t(1));
    QCOMPARE(app.log.countLines("Couldn't listen on port 0: " + reason.toStdString()), 1);
}

BRINDLEWICK_GUI_TEST_MAIN(TlsTests)
#include "TlsTests.moc"
