// How much of the disk and of a connection the transcripts may take: reading
// pauses before the disk reserve is touched and goes on once there is room,
// and at a connection's cap reading pauses or only the newest bytes stay.
// Real windows, a real Core and real clients on 127.0.0.1, the transcripts'
// files on a small file system of the test's own.
#include "GuiTestSupport.h"

#include "ConnectionWindow.h"
#include "ConnectionWindowManager.h"
#include "DiskReserve.h"
#include "HexView.h"
#include "MainWindow.h"
#include "SmallFileSystem.h"
#include "Transcript.h"

#include <QFile>
#include <QLabel>
#include <QTemporaryDir>

#include <atomic>

using namespace GuiTest;
using TestSupport::JoiningThread;
using TestSupport::TestClient;

namespace
{
constexpr std::uint64_t mebibyte = 1024 * 1024;
constexpr std::uint64_t fileSystemSize = 8 * mebibyte;
constexpr std::uint64_t reserve = 2 * mebibyte;

std::uint64_t receivedBytes(const ConnectionWindow* window)
{
    return window->getTranscript().totals().bytes[static_cast<int>(Direction::Received)];
}

// Small figures, so that a few MiB reach every limit.
TranscriptLimits smallLimits(const SmallFileSystem& fileSystem)
{
    TranscriptLimits limits;
    limits.memoryBudget = 64 * 1024;
    limits.blockSize = 16 * 1024;
    limits.spillDirectory = fileSystem.path();
    ReservePolicy policy;
    policy.minimumFree = reserve;
    policy.fractionFree = 0.0;
    limits.reserve = std::make_shared<DiskReserve>(fileSystem.path(), policy);
    return limits;
}

std::string kept(const Transcript& transcript)
{
    std::string bytes;
    transcript.read(transcript.firstKept(), static_cast<std::size_t>(transcript.size()), bytes);
    return bytes;
}

QByteArray fileContents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
}

class TranscriptLimitTests : public Suite
{
    Q_OBJECT

private slots:
    void floodPausesAtTheDiskReserveAndGoesOnWhenThereIsRoom();
    void atTheCapReadingPausesOrOnlyTheNewestBytesStay();
};

// A filler leaves 3 MiB above the reserve; the client sends 5 MiB. Reading
// pauses while the reserve is still free, the window, its row and the status
// bar say why, and once the filler is gone every byte arrives.
void TranscriptLimitTests::floodPausesAtTheDiskReserveAndGoesOnWhenThereIsRoom()
{
    SmallFileSystem disk(fileSystemSize);
    if (!disk.mounted())
        QSKIP(disk.reason().c_str());
    QVERIFY(disk.fill("filler", 3 * mebibyte));
    App app;
    app.manager()->setTranscriptLimits(smallLimits(disk));
    TestClient client(app.startListening());
    const std::string data = TestSupport::patternBytes(5 * mebibyte, 5);
    std::atomic<bool> written{false};
    JoiningThread writer([&] { written = client.write(data); });
    ConnectionWindow* window = app.waitForWindow(client.localPort());
    QVERIFY(window);
    std::uint64_t leastFree = disk.freeBytes();
    QVERIFY(waitFor([&] {
        leastFree = std::min(leastFree, disk.freeBytes());
        return window->isReadingPaused();
    }));
    QCOMPARE(window->readingPause(), Conversation::Pause::DiskReserve);
    QVERIFY2(disk.freeBytes() >= reserve && leastFree >= reserve, "the reserve stays free");
    QVERIFY(receivedBytes(window) < data.size());
    QVERIFY(window->stateLabel->text().contains("paused: disk reserve (less than 2 MiB free in "));
    const QModelIndex row = app.manager()->index(0, 0);
    QVERIFY(app.manager()->data(row, Qt::ToolTipRole).toString().startsWith("Reading paused: disk reserve"));
    QCOMPARE(app.window->getPausedReadingText(),
             QString("Reading paused for 1 connection: disk reserve (too little free space where transcripts "
                     "are kept)"));

    disk.remove("filler");
    QTRY_COMPARE_WITH_TIMEOUT(receivedBytes(window), std::uint64_t(data.size()), timeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!window->stateLabel->isVisible(), timeoutMs);
    QVERIFY(app.window->getPausedReadingText().isEmpty());
    QVERIFY(disk.freeBytes() >= reserve);
    writer.join();
    QVERIFY(written.load());
    QVERIFY(kept(window->getTranscript()) == data);
}

// Two connections: one keeps its newest MiB of a flood larger than the file
// system (it never pauses, and its file holds no more than it keeps); the
// other pauses at its cap and keeps every byte.
void TranscriptLimitTests::atTheCapReadingPausesOrOnlyTheNewestBytesStay()
{
    SmallFileSystem disk(fileSystemSize);
    if (!disk.mounted())
        QSKIP(disk.reason().c_str());
    App app;
    TranscriptLimits limits = smallLimits(disk);
    limits.keepAtMost = mebibyte;
    limits.atCap = AtCap::KeepNewest;
    app.manager()->setTranscriptLimits(limits);
    const unsigned short port = app.startListening();
    TestClient newest(port);
    const std::string flood = TestSupport::patternBytes(12 * mebibyte, 7);
    std::atomic<bool> floodWritten{false};
    JoiningThread floodWriter([&] { floodWritten = newest.write(flood); });
    ConnectionWindow* window = app.waitForWindow(newest.localPort());
    QVERIFY(window);
    bool pausedSeen = false;
    std::uint64_t leastFree = disk.freeBytes();
    QVERIFY(waitFor([&] {
        pausedSeen = pausedSeen || window->isReadingPaused();
        leastFree = std::min(leastFree, disk.freeBytes());
        return receivedBytes(window) == flood.size();
    }));
    floodWriter.join();
    QVERIFY(floodWritten.load());
    QVERIFY(!pausedSeen);
    QVERIFY2(leastFree + limits.keepAtMost + 4 * limits.blockSize >= fileSystemSize,
             "the file holds little more than what is kept");
    const Transcript& transcript = window->getTranscript();
    const std::uint64_t dropped = flood.size() - limits.keepAtMost;
    QCOMPARE(transcript.firstKept(), dropped);
    QCOMPARE(transcript.dropped().bytes[static_cast<int>(Direction::Received)], dropped);
    QVERIFY(kept(transcript) == flood.substr(dropped));
    window->setViewMode(ConnectionWindow::ViewMode::Hex);
    QVERIFY2(window->getHexView()->rowText(0).startsWith("[11,534,336 older bytes were dropped"), qPrintable(window->getHexView()->rowText(0)));
    QVERIFY(window->getHexView()->rowText(1).startsWith("received "));
    QTemporaryDir saved;
    const QString received = saved.filePath("received.bin");
    const QString text = saved.filePath("conversation.txt");
    QCOMPARE(window->saveConversation(received, ConnectionWindow::SaveFormat::ReceivedBytes), QString());
    QVERIFY(fileContents(received) == QByteArray::fromStdString(flood.substr(dropped)));
    QCOMPARE(window->saveConversation(text, ConnectionWindow::SaveFormat::TranscriptText), QString());
    QVERIFY(fileContents(text).startsWith("--- 11,534,336 older bytes were dropped (11,534,336 received, 0 sent)"));

    limits.keepAtMost = 256 * 1024;
    limits.atCap = AtCap::PauseReading;
    app.manager()->setTranscriptLimits(limits);
    TestClient capped(port);
    const std::string data = TestSupport::patternBytes(2 * mebibyte, 9);
    JoiningThread cappedWriter([&] { capped.write(data); });
    ConnectionWindow* cappedWindow = app.waitForWindow(capped.localPort());
    QVERIFY(cappedWindow);
    QTRY_COMPARE_WITH_TIMEOUT(cappedWindow->readingPause(), Conversation::Pause::Cap, timeoutMs);
    QVERIFY(cappedWindow->stateLabel->text().contains("holds its cap of 256 KiB"));
    QCOMPARE(app.window->getPausedReadingText(), QString("Reading paused for 1 connection: a transcript holds its cap"));
    const Transcript& cappedTranscript = cappedWindow->getTranscript();
    QVERIFY(cappedTranscript.size() >= limits.keepAtMost && cappedTranscript.size() < data.size());
    QCOMPARE(cappedTranscript.firstKept(), std::uint64_t(0));
    QVERIFY(kept(cappedTranscript) == data.substr(0, cappedTranscript.size()));
    // Closing the window ends the connection, and with it the client's writing.
    QVERIFY(app.closeWindow(cappedWindow));
}

BRINDLEWICK_GUI_TEST_MAIN(TranscriptLimitTests)
#include "TranscriptLimitTests.moc"
