#include "AllocatorTuning.h"
#include "CommandLine.h"
#include "Core.h"
#include "FileDescriptors.h"
#include "Log.h"
#include "MainWindow.h"
#include "SignalQuitter.h"
#include "TitleBarIconCache.h"

#include <QApplication>

#include <boost/shared_ptr.hpp>

int main(int argc, char** argv)
{
    if (CommandLine::isForTerminal(argc, argv))
        return CommandLine::run(argc, argv);
    // The GUI thread never waits for standard output.
    Log::setNonBlockingThread();
    // Every client holds a descriptor; Debian's soft limit of 1024 would be
    // reached by about a thousand of them.
    Log::line("File descriptor limit: ", FileDescriptors::raiseLimit());
    // Every read fills a chunk-sized buffer: keep such blocks in malloc's arenas.
    keepChunkSizedBlocksForReuse();

    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName("Brindlewick");
    QCoreApplication::setApplicationName("Brindlewick");
    // Every sub-window asks the style for its title bar icons: decode them once.
    TitleBarIconCache::install();
    // Before anything else is started: a signal that arrives early waits in
    // the quitter until the window can be closed.
    SignalQuitter signalQuitter;

    boost::shared_ptr<Core> core(new Core());
    {
        MainWindow window(core);
        QObject::connect(&signalQuitter, &SignalQuitter::quitRequested, &window, &QWidget::close);
        window.show();
        QApplication::exec();
    }
    core.reset();
    Log::flush();
    return 0;
}
