// Start-up benchmark, tool side: the tool's own start-up (app/main.cpp), run in a working
// directory holding quorvel/libClientScreen.so, measured up to its first paint, and the moment
// its log pane first holds text: the library's start-up line, which the window writes once the
// library's identity, taken on a thread of its own, is ready. The parts the window's constructor
// does for the device library are timed in the floor program, with the same calls: the start-up
// itself carries no timing code.
#include "app/mainwindow.h"
#include "monotonicclock.h"
#include "startupprobe.h"

#include <QApplication>
#include <QEventLoop>
#include <QTextEdit>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char* argv[])
{
    StartupMarks marks;
    marks.mainNs = monotonicNs();
    marks.mainCpuNs = processCpuNs();
    QApplication application(argc, argv);
    MainWindow window;
    marks.constructedNs = monotonicNs();
    marks.constructedCpuNs = processCpuNs();

    long long lineNs = 0;
    QEventLoop untilLine;
    QObject::connect(window.findChild<QTextEdit*>(), &QTextEdit::textChanged, [&] {
        if (lineNs == 0)
            lineNs = monotonicNs();
        untilLine.quit();
    });
    // The window must be bound to the device library, which it loads in its constructor.
    return runStartupProbe(application, window, marks, "/quorvel/libClientScreen.so", [&] {
        if (lineNs == 0) {
            QTimer::singleShot(5000, &untilLine, &QEventLoop::quit);
            untilLine.exec();
        }
        if (lineNs == 0) {
            std::fprintf(stderr, "the start-up line was not written within 5 s\n");
            return std::string();
        }
        return " line_ns=" + std::to_string(lineNs - std::atoll(std::getenv("BENCH_SPAWN_NS")));
    });
}
