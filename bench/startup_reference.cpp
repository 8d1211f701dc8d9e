// Start-up benchmark, reference side: a bare dialog built the way the tool builds its window
// (same title and size, a tab widget with one empty tab of the same caption above a text edit
// in a vertical box layout), with no panels. Built twice: bare, with no key library and no device
// library; and as the floor (STARTUP_FLOOR), linked to the key library, and so libcrypto, and
// loading the device library as the window does: what the tool must load, and nothing else.
#include "monotonicclock.h"
#include "startupprobe.h"

#include <QApplication>
#include <QDialog>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>

#ifdef STARTUP_FLOOR
#include <QLibrary>

#include <cstdio>
#endif

#include <string>

int main(int argc, char* argv[])
{
    StartupMarks marks;
    marks.mainNs = monotonicNs();
    marks.mainCpuNs = processCpuNs();
    QApplication application(argc, argv);
    QDialog dialog;

    QTabWidget* tabs = new QTabWidget();
    tabs->addTab(new QWidget(), QStringLiteral("密码键盘"));
    QTextEdit* log = new QTextEdit();
    log->setMaximumHeight(200);

    QVBoxLayout* layout = new QVBoxLayout();
    layout->addWidget(tabs);
    layout->addWidget(log);
    dialog.setLayout(layout);

    dialog.resize(800, 600);
    dialog.setWindowTitle(QStringLiteral("测试工具"));

#ifdef STARTUP_FLOOR
    // Loaded as the window loads it, where the window does: after building its widgets.
    const long long loadStart = monotonicNs();
    const long long loadCpuStart = processCpuNs();
    QLibrary library(QStringLiteral("./quorvel/libClientScreen.so"));
    if (!library.load()) {
        std::fprintf(stderr, "%s\n", qPrintable(library.errorString()));
        return 1;
    }
    const std::string loaded = " load_ns=" + std::to_string(monotonicNs() - loadStart)
        + " load_cpu_ns=" + std::to_string(processCpuNs() - loadCpuStart);
    marks.constructedNs = monotonicNs();
    marks.constructedCpuNs = processCpuNs();
    return runStartupProbe(application, dialog, marks, "/quorvel/libClientScreen.so",
                           [&] { return loaded; });
#else
    marks.constructedNs = monotonicNs();
    marks.constructedCpuNs = processCpuNs();
    return runStartupProbe(application, dialog, marks, nullptr);
#endif
}
