// What the main window stores at exit and finds again at the next start,
// in a settings folder of this test's own.
#include "GuiTestSupport.h"

#include "ConfigDialog.h"
#include "Core.h"
#include "MainWindow.h"
#include "TranscriptPreferences.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMdiArea>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QSettings>
#include <QComboBox>
#include <QLineEdit>
#include <QStatusBar>

#include <limits>

using namespace GuiTest;
using TestSupport::TestClient;

namespace
{
void store(const QString& key, const QVariant& value, const QString& group = "MainWindow")
{
    QSettings settings;
    settings.setValue(group + "/" + key, value);
    settings.sync();
}

// With nothing stored the window opens large enough for a connection window
// to show all its controls, on the screen.
void expectFirstPlacement(const MainWindow& window)
{
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY(window.width() >= std::min(1000, screen.width()) && window.height() >= std::min(700, screen.height()));
    QVERIFY(screen.contains(QRect(window.pos(), window.size())));
}

void expectDefaults(App& app)
{
    expectFirstPlacement(*app.window);
    QCOMPARE(app.core->getListenPorts(), std::vector<unsigned int>({2222}));
    QVERIFY(app.core->getBindAddress() == BindAddress::allAddresses());
    QCOMPARE(app.window->mdiArea->viewMode(), QMdiArea::SubWindowView);
    QCOMPARE(app.core->getProtocolType(), ProtocolFactory::PLAIN_TEXT);
    QVERIFY(!app.window->getAutoListen());
    QVERIFY(!app.window->startStopListenAction->isChecked());
    QCOMPARE(GuiTest::statusText(*app.window), QString("Server stopped."));
    QCOMPARE(app.boundPort(), static_cast<unsigned short>(0));
    const TranscriptOptions transcripts = app.window->getTranscriptOptions();
    QCOMPARE(transcripts.reserveMiB, quint64(2048));
    QCOMPARE(transcripts.reservePercent, 5);
    QCOMPARE(transcripts.capMiB, quint64(0));
    QVERIFY(transcripts.atCap == AtCap::PauseReading);
    QVERIFY(transcripts.folder.isEmpty());
}
}

class SettingsTests : public Suite
{
    Q_OBJECT

private slots:
    void missingStoreGivesDefaults();
    void everyValueSurvivesARestart();
    void invalidValuesGiveDefaults();
    void otherInvalidValuesGiveDefaults();
    void autoListenWithPortInUseComesUpStopped();
    void windowPlacedOnTheScreen();
    void unwritableStoreIsReported();
};

void SettingsTests::missingStoreGivesDefaults()
{
    App app(false);
    expectDefaults(app);
    QCOMPARE(app.log.countLines("AutoListen set to true."), 0);
    QVERIFY(!app.log.text().empty());
    QVERIFY(app.log.text().find("Ignoring invalid setting") == std::string::npos);
}

void SettingsTests::everyValueSurvivesARestart()
{
    const unsigned short port = systemChosenPort();
    QVERIFY(port != 0);
    {
        App first(false);
        first.window->resize(523, 411);
        first.window->move(123, 145);
        ModalAnswerer answerer([port](QWidget* widget) {
            auto* dialog = dynamic_cast<ConfigDialog*>(widget);
            if (!dialog) {
                widget->close();
                return;
            }
            dialog->findChild<QLineEdit*>("portsEdit")->setText(QString("%1, 0").arg(port));
            dialog->findChild<QComboBox*>("bindAddressCombo")->setCurrentIndex(1);
            dialog->findChild<QRadioButton*>("radioButton_2")->setChecked(true);
            dialog->findChild<QRadioButton*>("radioButton_3")->setChecked(true);
            dialog->findChild<QCheckBox*>("checkBox")->setChecked(true);
            TranscriptPreferences* transcripts = dialog->transcriptPreferences();
            QPushButton* ok = dialog->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok);
            QVERIFY(!transcripts->atCapBox()->isEnabled());
            transcripts->capBox()->setValue(64);
            transcripts->atCapBox()->setCurrentIndex(1);
            transcripts->folderEdit()->setText("/no/such/folder");
            QVERIFY(!ok->isEnabled());
            transcripts->folderEdit()->setText(QDir::tempPath());
            QVERIFY(ok->isEnabled());
            ok->click();
        });
        first.window->showSetupDialog();
        QCOMPARE(answerer.answered(), 1);
        QVERIFY(first.window->getAutoListen());
        // Quitting writes the settings.
    }
    {
        QSettings settings;
        QCOMPARE(settings.value("MainWindow/listenPort").toInt(), static_cast<int>(port));
        QCOMPARE(settings.value("Listening/ports").toString(), QString("%1, 0").arg(port));
        QCOMPARE(settings.value("Listening/bindAddress").toString(), QString("loopback"));
        QCOMPARE(settings.value("MainWindow/MdiViewMode").toInt(), 1);
        QCOMPARE(settings.value("MainWindow/ProtocolType").toInt(), 1);
        QCOMPARE(settings.value("MainWindow/AutoListen").toBool(), true);
        QCOMPARE(settings.value("MainWindow/size").toSize(), QSize(523, 411));
        QCOMPARE(settings.value("MainWindow/windowpos").toPoint(), QPoint(123, 145));
        QCOMPARE(settings.value("Transcripts/capMiB").toInt(), 64);
        QCOMPARE(settings.value("Transcripts/atCap").toString(), QString("keepNewest"));
        QCOMPARE(settings.value("Transcripts/folder").toString(), QDir::tempPath());
        QCOMPARE(settings.value("Transcripts/reserveMiB").toInt(), 2048);
        QCOMPARE(settings.value("Transcripts/reservePercent").toInt(), 5);
    }

    // An error box here would mean the port was taken in between.
    ModalAnswerer errors;
    App second(false);
    QCOMPARE(errors.answered(), 0);
    QCOMPARE(second.window->size(), QSize(523, 411));
    QCOMPARE(second.window->pos(), QPoint(123, 145));
    QCOMPARE(second.core->getListenPorts(), std::vector<unsigned int>({port, 0}));
    QVERIFY(second.core->getBindAddress() == BindAddress::loopback());
    QCOMPARE(second.window->mdiArea->viewMode(), QMdiArea::TabbedView);
    QCOMPARE(second.core->getProtocolType(), ProtocolFactory::HTTP);
    QVERIFY(second.window->getAutoListen());
    // Auto-listen started listening while the window was being built.
    QCOMPARE(second.log.countLines("AutoListen set to true."), 1);
    QVERIFY(second.window->startStopListenAction->isChecked());
    QCOMPARE(second.window->startStopListenAction->text(), QString("Stop Listening"));
    QCOMPARE(second.boundPort(), port);
    const std::vector<BoundEndpoint> bound = second.core->getBoundEndpoints();
    QCOMPARE(bound.size(), std::size_t(4));
    QCOMPARE(GuiTest::statusText(*second.window),
             QString("Listening on ports: %1, %2 (loopback only)").arg(port).arg(bound[2].port));
    TestClient client(port);
    QVERIFY(client.isConnected());
    QVERIFY(second.waitForWindow(client.localPort()));
    QVERIFY(second.log.text().find("Ignoring invalid setting") == std::string::npos);
    const TranscriptOptions transcripts = second.window->getTranscriptOptions();
    QCOMPARE(transcripts.capMiB, quint64(64));
    QVERIFY(transcripts.atCap == AtCap::KeepNewest);
    QCOMPARE(transcripts.folder, QDir::tempPath());
}

void SettingsTests::invalidValuesGiveDefaults()
{
    store("size", "huge");
    store("windowpos", "left");
    store("listenPort", 70000);
    store("MdiViewMode", 5);
    store("ProtocolType", 7);
    store("AutoListen", "sometimes");
    store("ports", "2222, 70000", "Listening");
    store("bindAddress", "somewhere", "Listening");
    store("reservePercent", 90, "Transcripts");
    store("capMiB", -1, "Transcripts");
    store("atCap", "sometimes", "Transcripts");
    store("folder", "/no/such/folder", "Transcripts");
    App app(false);
    expectDefaults(app);
    for (const char* line : {"Ignoring invalid setting size: huge", "Ignoring invalid setting windowpos: left",
                             "Ignoring invalid setting listenPort: 70000", "Ignoring invalid setting MdiViewMode: 5",
                             "Ignoring invalid setting ProtocolType: 7",
                             "Ignoring invalid setting AutoListen: sometimes",
                             "Ignoring invalid setting ports: 2222, 70000",
                             "Ignoring invalid setting bindAddress: somewhere",
                             "Ignoring invalid setting reservePercent: 90", "Ignoring invalid setting capMiB: -1",
                             "Ignoring invalid setting atCap: sometimes",
                             "Ignoring invalid setting folder: /no/such/folder"})
        QVERIFY2(app.log.countLines(line) == 1, line);
}

void SettingsTests::otherInvalidValuesGiveDefaults()
{
    store("listenPort", "abc");
    store("MdiViewMode", -1);
    store("ProtocolType", "http");
    store("AutoListen", 2);
    store("windowpos", 17);
    App app(false);
    expectDefaults(app);
    for (const char* line : {"Ignoring invalid setting listenPort: abc", "Ignoring invalid setting MdiViewMode: -1",
                             "Ignoring invalid setting ProtocolType: http", "Ignoring invalid setting AutoListen: 2",
                             "Ignoring invalid setting windowpos: 17"})
        QVERIFY2(app.log.countLines(line) == 1, line);
    app.quit();

    // Without a port list, as an older version leaves the store, a port of 0
    // is out of range too, and so are the settings the quit just wrote back
    // as defaults: none of them is reported again.
    QSettings().remove("Listening");
    store("listenPort", 0);
    {
        App again(false);
        QCOMPARE(again.core->getListenPorts(), std::vector<unsigned int>({2222}));
        QCOMPARE(again.log.countLines("Ignoring invalid setting listenPort: 0"), 1);
        QCOMPARE(again.log.countLines("Ignoring invalid setting AutoListen: 2"), 0);
    }

    // With a port list, the first port 0 written as listenPort is not read.
    store("listenPort", 0);
    store("ports", "0, 2345", "Listening");
    App withList(false);
    QCOMPARE(withList.core->getListenPorts(), std::vector<unsigned int>({0, 2345}));
    QVERIFY(withList.log.text().find("Ignoring invalid setting") == std::string::npos);
}

void SettingsTests::autoListenWithPortInUseComesUpStopped()
{
    PortBlocker blocker;
    QVERIFY(blocker.port() != 0);
    store("AutoListen", true);
    store("listenPort", blocker.port());

    ModalAnswerer answerer;
    App app(false);
    QCOMPARE(answerer.answered(), 0);
    QCOMPARE(app.log.countLines("Couldn't start listening: Address already in use"), 1);
    QCOMPARE(app.log.countLines("AutoListen set to true."), 1);
    QVERIFY(app.window->getAutoListen());
    QVERIFY(!app.window->startStopListenAction->isChecked());
    QCOMPARE(app.window->startStopListenAction->text(), QString("Start Listening"));
    QCOMPARE(GuiTest::statusText(*app.window),
             QString("Server stopped. Couldn't listen on port %1: Address already in use.").arg(blocker.port()));
    QCOMPARE(app.boundPort(), static_cast<unsigned short>(0));
    QCOMPARE(app.core->getListenPort(), static_cast<unsigned int>(blocker.port()));
}

void SettingsTests::windowPlacedOnTheScreen()
{
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    // Near the end of int, where adding the size overflows.
    const QPoint offEveryScreen(std::numeric_limits<int>::max() - 10, std::numeric_limits<int>::max() - 10);
    store("size", QSize(20000, 20000));
    store("windowpos", offEveryScreen);
    {
        App app(false);
        QCOMPARE(app.window->size(), screen.size());
        QVERIFY(screen.contains(app.window->pos()));
        QCOMPARE(app.log.countLines(QString("Ignoring invalid setting windowpos: %1,%2")
                                        .arg(offEveryScreen.x())
                                        .arg(offEveryScreen.y())
                                        .toStdString()),
                 1);
        QCOMPARE(app.log.countLines("Ignoring invalid setting size: 20000x20000"), 1);
    }

    // Partly off the screen is still on it; too wide only is cut to the width only.
    const QSize tooWide(screen.width() + 100, 300);
    const QPoint partlyOff = screen.topLeft() - QPoint(100, 50);
    store("size", tooWide);
    store("windowpos", partlyOff);
    App app(false);
    QCOMPARE(app.window->pos(), partlyOff);
    QCOMPARE(app.window->size(), QSize(screen.width(), 300));
    QCOMPARE(app.log.countLines(QString("Ignoring invalid setting size: %1x300").arg(tooWide.width()).toStdString()),
             1);
    QVERIFY(app.log.text().find("Ignoring invalid setting windowpos") == std::string::npos);
}

// A store that cannot be read is written anew and that is no failure; a
// folder where the settings file belongs makes writing fail, for root too.
void SettingsTests::unwritableStoreIsReported()
{
    {
        QFile damaged(QSettings().fileName());
        QVERIFY(QDir().mkpath(QFileInfo(damaged).path()) && damaged.open(QIODevice::WriteOnly));
        damaged.write(QByteArray::fromStdString(TestSupport::patternBytes(4096, 11)));
        damaged.close();
        App app(false);
        app.quit();
        QCOMPARE(app.log.countLines("settings saved..."), 1);
        QVERIFY(app.log.text().find("saving settings failed") == std::string::npos);
        QCOMPARE(QSettings().value("MainWindow/listenPort").toInt(), 2222);
    }
    const QString file = QSettings().fileName();
    QVERIFY(QFile::remove(file));
    QVERIFY(QDir().mkpath(file));
    struct RemoveFolder
    {
        QString path;
        ~RemoveFolder() { QDir(path).removeRecursively(); }
    } folder{file};

    App app(false);
    app.quit();
    QCOMPARE(app.log.countLines("saving settings..."), 1);
    QCOMPARE(app.log.countLines("saving settings failed: access error"), 1);
    QCOMPARE(app.log.countLines("settings saved..."), 0);
}

BRINDLEWICK_GUI_TEST_MAIN(SettingsTests)
#include "SettingsTests.moc"
