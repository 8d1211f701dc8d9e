// Start-up benchmark, tool side: the tool's own start-up (app/main.cpp), run in a working
// directory holding quorvel/libClientScreen.so, measured up to its first paint. The window loads
// the device library and writes its start-up line, with the library's identity, in its
// constructor; the parts it does for the device library are timed in the floor program, with the
// same calls: the start-up itself carries no timing code.
#include "app/mainwindow.h"
#include "monotonicclock.h"
#include "startupprobe.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    StartupMarks marks;
    marks.mainNs = monotonicNs();
    marks.mainCpuNs = processCpuNs();
    QApplication application(argc, argv);
    MainWindow window;
    marks.constructedNs = monotonicNs();
    marks.constructedCpuNs = processCpuNs();
    // The window must be bound to the device library, which it loads in its constructor.
    return runStartupProbe(application, window, marks, "/quorvel/libClientScreen.so");
}
