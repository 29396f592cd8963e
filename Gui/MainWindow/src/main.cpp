#include "Core.h"
#include "MainWindow.h"

#include <QApplication>

#include <boost/shared_ptr.hpp>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName("Brindlewick");
    QCoreApplication::setApplicationName("Brindlewick");

    boost::shared_ptr<Core> core(new Core());
    {
        MainWindow window(core);
        window.show();
        QApplication::exec();
    }
    core.reset();
    return 0;
}
