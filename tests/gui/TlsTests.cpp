// TLS in the desktop program: the preferences check the certificate and the
// options as they are chosen, the settings keep them, and Export
// Certificate writes what a client must trust.
#include "GuiTestSupport.h"

#include "CertificateExport.h"
#include "ConfigDialog.h"
#include "ConnectionWindow.h"
#include "ConnectionWindowManager.h"
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
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <algorithm>
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
    void eachConnectionShowsItsHandshake();
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
    QVERIFY(dialog.findChild<QTabWidget*>("tabs")->count() == 3);
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
    QVERIFY(page.field<QLabel>("fingerprintLabel")->text().replace('\n', ':').contains(
        QString::fromStdString(openSslFingerprint(generated))));
    QVERIFY(page.okEnabled());
    QVERIFY(!page.field<QPushButton>("chainFileButton")->isEnabled());
    QVERIFY(!page.field<QPushButton>("keyLogFileButton")->isEnabled());

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
        QCOMPARE(page.field<QLabel>("fingerprintLabel")->text(), QString("No usable certificate chosen yet"));
        QVERIFY(!page.okEnabled());
    }
    page.chooseOwnFiles(folder + "/server.pem", folder + "/server-key.pem");
    QVERIFY(page.field<QPushButton>("chainFileButton")->isEnabled());
    QCOMPARE(page.problem("certificateError"), QString());
    QVERIFY(page.field<QLabel>("fingerprintLabel")->text().replace('\n', ':').contains(
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

// Real clients against a TLS port: openssl s_client with SNI, ALPN, a
// client certificate and TLS 1.2 at most, curl trusting the exported
// certificate, and clients whose handshake fails for a reason of their own.
void TlsTests::eachConnectionShowsItsHandshake()
{
    QTemporaryDir scratch;
    const QString folder = scratch.path();
    const auto made = TestSupport::runCommand(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=test-client -keyout "
        + (folder + "/client-key.pem").toStdString() + " -out " + (folder + "/client.pem").toStdString());
    QVERIFY2(made.exitCode == 0, made.output.c_str());

    App app(false);
    TlsSetup setup = app.core->getTlsSetup();
    // curl offers h2 too; this program answers HTTP/1.x.
    setup.listener.alpnProtocols = {"http/1.1", "h2"};
    setup.listener.clientCertificates = ClientCertificates::Requested;
    setup.listener.clientCaFile = (folder + "/client.pem").toStdString();
    app.core->setTlsSetup(setup);
    app.core->setListedPorts({{0, true}});
    app.core->setProtocolType(ProtocolFactory::HTTP);
    app.window->onStartListen();
    const unsigned short port = app.boundPort();
    QVERIFY(port != 0);
    QCOMPARE(statusText(*app.window), QString("Listening on port: %1 (TLS)").arg(port));
    QCOMPARE(app.log.countLinesStartingWith("TLS on [::]:" + std::to_string(port) + ": certificate CN=localhost"), 1);
    QString message;
    CertificateExport exporter(app.window.get(), app.window->exportCertificateAction, app.core);
    const QString trust = folder + "/trust.pem";
    QVERIFY(exporter.exportTo(trust, message));

    const auto nthWindow = [&app](int count) -> ConnectionWindow* {
        if (!waitFor([&] { return app.connectionWindows().size() >= count; }))
            return nullptr;
        ConnectionWindow* window = app.connectionWindows().at(count - 1);
        window->makeWidgets();
        return window;
    };
    const QString sClient = QString("openssl s_client -connect 127.0.0.1:%1 -CAfile %2 -verify_return_error -brief "
                                    "-servername example.test -alpn h2 -cert %3/client.pem -key %3/client-key.pem")
                                .arg(port)
                                .arg(trust, folder);
    const auto offering = TestSupport::runCommand(sClient.toStdString() + " < /dev/null");
    QVERIFY2(offering.exitCode == 0, offering.output.c_str());
    ConnectionWindow* first = nthWindow(1);
    QVERIFY(first);
    QVERIFY(waitFor([first] { return first->tlsLabel->text().startsWith("TLSv1.3 | TLS_"); }));
    for (const QString part : {" | SNI example.test | ALPN h2 | handshake ", " | client certificate CN=test-client, issuer CN=test-client, SHA-256 "})
        QVERIFY2(first->tlsLabel->text().contains(part), qPrintable(first->tlsLabel->text()));
    QVERIFY(first->tlsLabel->text().contains(QString::fromStdString(openSslFingerprint(folder + "/client.pem"))));

    const auto older = TestSupport::runCommand((sClient + " -tls1_2 < /dev/null").toStdString());
    QVERIFY2(older.exitCode == 0, older.output.c_str());
    ConnectionWindow* second = nthWindow(2);
    QVERIFY(second);
    QVERIFY(waitFor([second] { return second->tlsLabel->text().startsWith("TLSv1.2 | "); }));

    // curl trusts the exported certificate and reads the HTTP response.
    QProcess curl;
    curl.start("curl", {"--silent", "--show-error", "--max-time", "20", "--cacert", trust,
                        QString("https://localhost:%1/").arg(port)});
    ConnectionWindow* third = nthWindow(3);
    QVERIFY(third);
    QVERIFY(waitFor([third] { return third->tlsLabel->text().contains(" | SNI localhost | ALPN http/1.1 | "); }));
    QVERIFY(waitFor([third] { return third->getTranscript().totals().bytes[static_cast<int>(Direction::Received)] > 0; }));
    third->textEdit_2->setPlainText("hello over TLS");
    QTest::mouseClick(third->sendButton, Qt::LeftButton);
    QVERIFY(curl.waitForFinished(GuiTest::timeoutMs));
    QCOMPARE(curl.exitCode(), 0);
    QCOMPARE(curl.readAllStandardOutput(), QByteArray("hello over TLS"));

    // Without the exported certificate curl refuses the server; a plain
    // client reaches a TLS port. Each failure marks its window and row.
    const auto untrusting = TestSupport::runCommand("curl --silent --max-time 15 https://localhost:" + std::to_string(port) + "/");
    QCOMPARE(untrusting.exitCode, 60);
    TestSupport::TestClient plain(port);
    QVERIFY(plain.isConnected());
    QVERIFY(plain.write("hello\n"));
    const QStringList reasons{"alert unknown ca", "wrong version number"};
    for (int count = 4; count <= 5; ++count) {
        ConnectionWindow* failed = nthWindow(count);
        QVERIFY(failed);
        const QString reason = reasons.at(count - 4);
        QVERIFY(waitFor([failed, reason] { return failed->tlsLabel->text() == "TLS handshake failed: " + reason; }));
        const QString row = failed->getTitle() + " (TLS handshake failed: " + reason + ")";
        QVERIFY2(waitFor([&] {
                     const QStringList rows = app.manager()->stringList();
                     return std::any_of(rows.begin(), rows.end(), [&row](const QString& text) {
                         return text.startsWith(row);
                     });
                 }),
                 qPrintable(app.manager()->stringList().join(" / ") + " / window: " + failed->getTitle()));
        const std::string logged = " failed: " + reason.toStdString();
        const auto lines = app.log.lines();
        QVERIFY2(std::any_of(lines.begin(), lines.end(),
                             [&logged](const std::string& line) {
                                 return line.rfind("TLS handshake with ", 0) == 0 && line.size() > logged.size()
                                     && line.compare(line.size() - logged.size(), logged.size(), logged) == 0;
                             }),
                 logged.c_str());
    }
}

BRINDLEWICK_GUI_TEST_MAIN(TlsTests)
#include "TlsTests.moc"
