#include "ProgramUnderTest.h"

#include "AllocatorTuning.h"
#include "ConnectionWindow.h"
#include "Core.h"
#include "GuiBenchSupport.h"
#include "Log.h"
#include "MainWindow.h"
#include "TitleBarIconCache.h"

#include <QApplication>
#include <QMdiSubWindow>

namespace GuiBench
{
ProgramUnderTest::ProgramUnderTest(int& argc, char** argv, const QSize& size, QMdiArea::ViewMode view)
{
    // As the program's main() does: the GUI thread never waits for stdout.
    Log::setNonBlockingThread();
    keepChunkSizedBlocksForReuse();
    application = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setOrganizationName("Brindlewick");
    QCoreApplication::setApplicationName("Brindlewick");
    TitleBarIconCache::install();
    core.reset(new Core());
    window = std::make_unique<MainWindow>(core);
    window->mdiArea->setViewMode(view);
    window->resize(size);
    window->show();
    core->setListenPort(0);
    window->startStopListenAction->trigger();
    port = core->getBoundPort();
    if (port == 0)
        fail("the program is not listening");
}

ProgramUnderTest::~ProgramUnderTest()
{
    tearDown();
}

std::vector<ConnectionWindow*> ProgramUnderTest::waitForWindows(int count, bool maximize)
{
    std::vector<ConnectionWindow*> found;
    while (static_cast<int>(found.size()) < count) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        found.clear();
        for (QMdiSubWindow* sub : window->mdiArea->subWindowList())
            if (auto* connection = qobject_cast<ConnectionWindow*>(sub->widget()))
                found.push_back(connection);
    }
    if (maximize)
        window->mdiArea->subWindowList().first()->showMaximized();
    QCoreApplication::processEvents();
    return found;
}

void ProgramUnderTest::tearDown()
{
    window.reset();
    core.reset();
}
}
