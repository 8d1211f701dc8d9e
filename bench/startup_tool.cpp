// Start-up benchmark, tool side: the tool's own start-up (app/main.cpp), run in a working
// directory holding quorvel/libClientScreen.so, measured up to its first paint. The window loads
// the device library, takes its identity and writes its start-up line in its constructor, so all
// of that is in the figure; the start-up itself carries no timing code.
#include "app/mainwindow.h"
#include "startupprobe.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    MainWindow window;
    // The window must be bound to the device library, which it loads in its constructor.
    return runStartupProbe(application, window, "/quorvel/libClientScreen.so");
}
