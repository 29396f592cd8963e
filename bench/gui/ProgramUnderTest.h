#pragma once

#include <QMdiArea>
#include <QSize>

#include <boost/shared_ptr.hpp>

#include <memory>
#include <vector>

class ConnectionWindow;
class Core;
class MainWindow;
class QApplication;

namespace GuiBench
{
// The program as its main() makes it, in a benchmark's process: the
// application with the process-wide settings, a Core and a shown MainWindow
// of the given size, listening on a port the system picks.
class ProgramUnderTest
{
public:
    ProgramUnderTest(int& argc, char** argv, const QSize& size,
                     QMdiArea::ViewMode view = QMdiArea::SubWindowView);
    ~ProgramUnderTest();

    ProgramUnderTest(const ProgramUnderTest&) = delete;
    ProgramUnderTest& operator=(const ProgramUnderTest&) = delete;

    // Waits for count connection windows (the first maximized if asked).
    std::vector<ConnectionWindow*> waitForWindows(int count, bool maximize);
    // The window first, then the Core.
    void tearDown();

    std::unique_ptr<QApplication> application;
    boost::shared_ptr<Core> core;
    std::unique_ptr<MainWindow> window;
    unsigned short port = 0;
};
}
